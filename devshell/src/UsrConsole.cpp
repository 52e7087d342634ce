#include "UsrConsole.h"

#include <cassert>
#include <locale>
#include <ostream>

namespace {

constexpr char kQuote = '"';

bool isSeparator(char c) { return c == ' ' || c == '\r' || c == '\n'; }

// What strtol skips before a number in the C locale.
bool isLeadingSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string lowerCase(const std::string& text) {
  const std::locale& classic = std::locale::classic();
  std::string lower = text;
  for (char& c : lower) c = std::tolower(c, classic);
  return lower;
}

// Sign and magnitude of a decimal number; false without digits or with a
// magnitude above `limit`.
bool parseMagnitude(const std::string& text, uint64_t limit, bool* negative, uint64_t* magnitude) {
  size_t i = 0;
  while (i < text.size() && isLeadingSpace(text[i])) ++i;
  *negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) *negative = text[i++] == '-';
  const size_t firstDigit = i;
  uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + uint64_t(text[i] - '0');
    if (value > limit) return false;
  }
  if (i == firstDigit) return false;
  *magnitude = value;
  return true;
}

}  // namespace

bool parseSigned32(const std::string& text, int32_t* value) {
  bool negative = false;
  uint64_t magnitude = 0;
  if (!parseMagnitude(text, uint64_t(INT32_MAX) + 1, &negative, &magnitude)) return false;
  if (!negative && magnitude > uint64_t(INT32_MAX)) return false;
  *value = negative ? int32_t(-int64_t(magnitude)) : int32_t(magnitude);
  return true;
}

bool parseUnsigned32(const std::string& text, uint32_t* value) {
  bool negative = false;
  uint64_t magnitude = 0;
  if (!parseMagnitude(text, UINT32_MAX, &negative, &magnitude)) return false;
  *value = negative ? uint32_t(0u - uint32_t(magnitude)) : uint32_t(magnitude);
  return true;
}

// ---------------------------------------------------------------- fields

template <>
std::string UsrConField<unsigned short>::defaultText() const {
  return std::to_string(defaultValue);
}
template <>
void UsrConField<unsigned short>::parse(const std::string& text) {
  int32_t number = 0;
  if (!parseSigned32(text, &number)) throw std::string("bad number");
  value = static_cast<unsigned short>(number);  // the low 16 bits, as scripts know it
}

template <>
std::string UsrConField<unsigned int>::defaultText() const {
  return std::to_string(defaultValue);
}
template <>
void UsrConField<unsigned int>::parse(const std::string& text) {
  uint32_t number = 0;
  if (!parseUnsigned32(text, &number)) throw std::string("bad number");
  value = number;
}

template <>
std::string UsrConField<std::string>::defaultText() const {
  return defaultValue;
}
template <>
void UsrConField<std::string>::parse(const std::string& text) {
  value = text;
}

template <>
std::string UsrConField<SwIgnore>::defaultText() const {
  return defaultValue.ignore ? "/i" : "/f";
}
template <>
void UsrConField<SwIgnore>::parse(const std::string& text) {
  const std::string lower = lowerCase(text);
  if (lower == "/i")
    value.ignore = true;
  else if (lower == "/f")
    value.ignore = false;
  else
    throw std::string("bad switch");
}

// ---------------------------------------------------------------- tokenizer

std::vector<std::string> tokenizeLine(const std::string& line) {
  std::vector<std::string> tokens;
  size_t i = 0;
  while (i < line.size()) {
    if (isSeparator(line[i])) {
      ++i;
      continue;
    }
    if (line[i] == kQuote) {
      const size_t close = line.find(kQuote, i + 1);
      if (close == std::string::npos) return {};
      if (close + 1 < line.size() && !isSeparator(line[close + 1])) return {};
      if (close > i + 1) tokens.push_back(line.substr(i + 1, close - i - 1));
      i = close + 2;  // past the quote and its separator
      continue;
    }
    size_t end = i;
    while (end < line.size() && !isSeparator(line[end])) ++end;
    tokens.push_back(line.substr(i, end - i));
    i = end;
  }
  return tokens;
}

// ---------------------------------------------------------------- console

UsrConsole::UsrConsole() {
  addCommand("quit", "terminate current session", {}, {});
  const UsrConField<std::string> topic("", "topic", "get detailed help on topic");
  addCommand("help", "usage detail", {&topic}, {}, 1);
}

void UsrConsole::addCommand(const std::string& name, const std::string& help,
                            const std::vector<const UsrConIField*>& fields, UsrConCallback callback,
                            uint16_t optional) {
  assert(commands_.find(name) == commands_.end() && "a command is registered once");
  UsrConCommand command;
  command.optionalCount = uint16_t(std::min<size_t>(fields.size(), optional));
  command.callback = std::move(callback);
  for (const UsrConIField* field : fields) command.fields.push_back(field->clone());
  commands_[name] = std::move(command);
  helpTexts_[name] = help;
}

std::string UsrConsole::usage(const std::string& name) const {
  const UsrConCommand& command = commands_.at(name);
  const size_t firstOptional = command.fields.size() - command.optionalCount;
  std::string text = name;
  for (size_t i = 0; i < command.fields.size(); ++i) {
    text += ' ';
    if (i >= firstOptional) text += '[';
    text += command.fields[i]->name;
  }
  text.append(command.optionalCount, ']');
  return text;
}

void UsrConsole::printHelp(const std::string& topic, std::ostream& out) const {
  if (topic.empty()) {
    out << "Usage:" << std::endl;
    out << "  " << usage("help") << std::endl;
    out << "  " << usage("quit") << std::endl;
    for (const auto& entry : commands_)
      if (entry.first != "help" && entry.first != "quit")
        out << "  " << usage(entry.first) << std::endl;
    return;
  }
  const auto it = commands_.find(topic);
  if (it == commands_.end()) throw std::string("unrecognized topic");
  out << "usage: " << usage(topic) << ": " << helpTexts_.at(topic) << std::endl;
  const UsrConCommand& command = it->second;
  const size_t firstOptional = command.fields.size() - command.optionalCount;
  for (size_t i = 0; i < command.fields.size(); ++i) {
    const UsrConIField& field = *command.fields[i];
    out << "  " << field.name << ": " << field.help;
    if (i >= firstOptional) out << " (" << field.defaultText() << ")";
    out << std::endl;
  }
}

bool UsrConsole::execute(const std::string& line, std::ostream& out) {
  const std::vector<std::string> tokens = tokenizeLine(line);
  if (tokens.empty()) return true;
  const std::string name = lowerCase(tokens[0]);
  const auto it = commands_.find(name);
  if (it == commands_.end()) throw std::string("command unknown");
  const UsrConCommand& command = it->second;

  const size_t given = tokens.size() - 1;
  const size_t all = command.fields.size();
  if (given < all - command.optionalCount || given > all)
    throw std::string("invalid number of arguments");

  auto invocation = std::make_shared<UsrConInvocationData>();
  invocation->name = name;
  for (const auto& field : command.fields) invocation->arguments.push_back(field->clone());
  for (size_t i = 0; i < given; ++i) {
    try {
      invocation->arguments[i]->parse(tokens[i + 1]);
    } catch (...) {
      throw std::string("invalid data argument: ") + tokens[i + 1];
    }
  }

  if (name == "quit") return false;
  if (name == "help") {
    printHelp(invocation->arg<std::string>(0), out);
    return true;
  }
  assert(command.callback && "every command but the built-ins has a callback");
  command.callback(invocation, out);
  return true;
}
