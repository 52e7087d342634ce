#include "InteractiveConsole.h"

#include <cctype>
#include <istream>
#include <ostream>
#include <sstream>

namespace protoprobe {

namespace {

bool equalsIgnoringCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return i == a.size() && !b[i];
}

}  // namespace

std::vector<std::string> splitWords(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

void InteractiveConsole::printEvent(const std::string& text) {
  printer_.print("< " + text);
  reply_.set();
}

void InteractiveConsole::echo(const std::string& line) { printer_.print("> " + line); }

void InteractiveConsole::setAbort() {
  plat::LockGuard lock(stateMutex_);
  abort_ = true;
}

bool InteractiveConsole::aborted() {
  plat::LockGuard lock(stateMutex_);
  return abort_;
}

void InteractiveConsole::printHelp() {
  std::string text = "\nAvailable console commands:\n";
  for (const std::string& line : helpLines()) text += line + "\n";
  printer_.printPlain(text);
}

int InteractiveConsole::end(int result) {
  if (result == kAborted) printer_.print("Aborted");
  printer_.print("Unregistering on closing");
  stopWorkers();
  unregisterLibrary();
  return result;
}

int InteractiveConsole::run(const std::vector<std::string>& args, std::istream& in,
                            bool checkOutput) {
  if (!args.empty() && equalsIgnoringCase(args[0], "HELP")) {
    printHelp();
    return -1;
  }
  if (checkOutput) {
    const int code = checkConsoleOutput();
    if (code != 0) return code;
  }
  printer_.start();
  if (!registerLibrary()) return end(kAborted);
  if (reply_.timedWait(connectWaitMs_)) {
    printer_.print("Remote connection timed out");
    // Nothing may keep running into the static destructors at exit.
    stopWorkers();
    unregisterLibrary();
    return kConnectTimedOut;
  }
  reply_.reset();
  std::string line;
  while (true) {
    if (aborted()) return end(kAborted);
    // A read error ends the loop as the end of input does: no spinning.
    if (!std::getline(in, line)) return end(atEndOfInput());
    beforeEachLine();
    const std::vector<std::string> words = splitWords(line);
    if (words.empty()) continue;
    if (words[0] == "quit") return end(kAborted);
    if (words[0] == "help") {
      printHelp();
      continue;
    }
    if (command(words, line) == Outcome::kAbort) return end(kAborted);
  }
}

}  // namespace protoprobe
