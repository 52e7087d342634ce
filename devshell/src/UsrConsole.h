// The console's command framework: named commands with typed argument
// fields, the tokenizer, the argument-count rule for trailing optional
// arguments, and the built-in commands quit and help.
//
// Every user error leaves execute() as a thrown std::string holding the
// message; command callbacks report their own errors the same way. Scripts
// rely on the parsing rules here (numbers read as far as they are digits,
// 16-bit fields keep the low 16 bits, a line with a broken quote does
// nothing), so they stay as they are.
//
// Threads: one console is used by one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// The switch of the file deletion command: true ignores a missing file.
struct SwIgnore {
  bool ignore = false;
};

// One argument of a command: its name and help as the usage shows them.
class UsrConIField {
 public:
  UsrConIField(std::string name, std::string help) : name(std::move(name)), help(std::move(help)) {}
  virtual ~UsrConIField() = default;
  // A new copy of the same type, value and default included.
  virtual std::unique_ptr<UsrConIField> clone() const = 0;
  virtual std::string defaultText() const = 0;
  // Reads the value from its text; throws (anything) when the text is bad.
  virtual void parse(const std::string& text) = 0;

  std::string name;
  std::string help;
};

template <typename T>
class UsrConField : public UsrConIField {
 public:
  UsrConField(T defaultValue, std::string name, std::string help)
      : UsrConIField(std::move(name), std::move(help)),
        value(defaultValue),
        defaultValue(defaultValue) {}
  std::unique_ptr<UsrConIField> clone() const override {
    return std::make_unique<UsrConField<T>>(*this);
  }
  std::string defaultText() const override;
  void parse(const std::string& text) override;

  T value;
  T defaultValue;
};

// The four field types the commands use.
template <>
std::string UsrConField<unsigned short>::defaultText() const;
template <>
void UsrConField<unsigned short>::parse(const std::string& text);
template <>
std::string UsrConField<unsigned int>::defaultText() const;
template <>
void UsrConField<unsigned int>::parse(const std::string& text);
template <>
std::string UsrConField<std::string>::defaultText() const;
template <>
void UsrConField<std::string>::parse(const std::string& text);
template <>
std::string UsrConField<SwIgnore>::defaultText() const;
template <>
void UsrConField<SwIgnore>::parse(const std::string& text);

// What one executed line hands to its command: the lower-cased name and a
// clone of every field, supplied or left at its default.
struct UsrConInvocationData {
  std::string name;
  std::vector<std::unique_ptr<UsrConIField>> arguments;

  // Argument i as the field type the command declared it with.
  template <typename T>
  const T& arg(size_t i) const {
    return dynamic_cast<const UsrConField<T>&>(*arguments.at(i)).value;
  }
};
using UsrConInvocation = std::shared_ptr<UsrConInvocationData>;

using UsrConCallback = std::function<void(const UsrConInvocation&, std::ostream&)>;

struct UsrConCommand {
  std::vector<std::unique_ptr<UsrConIField>> fields;  // declaration order
  uint16_t optionalCount = 0;                         // the last ones
  UsrConCallback callback;
};

class UsrConsole {
 public:
  // Registers quit and help.
  UsrConsole();

  // Registers `name` (once) with clones of `fields`; the caller keeps its
  // own field objects. The last min(optional, fields) fields are optional.
  void addCommand(const std::string& name, const std::string& help,
                  const std::vector<const UsrConIField*>& fields, UsrConCallback callback,
                  uint16_t optional = 0);

  // Runs one line, printing into `out`. False only for quit. Throws the
  // error text: "command unknown", "invalid number of arguments",
  // "invalid data argument: " + token, "unrecognized topic", or a command's
  // own.
  bool execute(const std::string& line, std::ostream& out);

  // The usage line of a registered command ("x a [b [c]]").
  std::string usage(const std::string& name) const;

 private:
  void printHelp(const std::string& topic, std::ostream& out) const;

  std::map<std::string, UsrConCommand> commands_;
  std::map<std::string, std::string> helpTexts_;
};

// Splits a line into tokens: separators are blank, CR and LF (not tab); a
// token starting with a double quote runs to the next one and must be
// followed by a separator or the end, else the whole line gives no tokens;
// empty tokens are dropped.
std::vector<std::string> tokenizeLine(const std::string& line);

// Number rules of the fields, as the runtime reads a 32-bit long: leading
// white space skipped, an optional sign, decimal digits up to the first
// other character. False without digits or outside the range.
bool parseSigned32(const std::string& text, int32_t* value);
// An unsigned 32-bit long: a minus negates modulo 2^32; the magnitude must
// not pass 4294967295.
bool parseUnsigned32(const std::string& text, uint32_t* value);
