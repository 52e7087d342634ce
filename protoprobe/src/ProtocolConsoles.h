// The named protocol consoles of mode N: their table, the lookup, the
// time-stamped line printer they share, the output check and the scope
// result texts.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <string>
#include <vector>

#include "plat/threadsafety.h"
#include "translayer/HwId.h"

namespace protoprobe {

// A console: (HwId, the arguments after its name) -> its result.
using ConsoleFunction = int (*)(const translayer::HwId& hwid, const std::vector<std::string>& args);

struct ProtocolConsoleRow {
  const char* name;
  ConsoleFunction run;
};

extern const ProtocolConsoleRow kProtocolConsoleTable[4];

// Runs the row whose name matches exactly. No match: the list of names and
// -1. A row without a console says so and gives -1.
int runProtocolConsole(const std::string& name, const translayer::HwId& hwid,
                       const std::vector<std::string>& args, std::ostream& out);

// "(name) text" for a code of the scope result set; empty for others.
std::string scopeResultText(int code);

// The interactive consoles write to a terminal only: 0 when standard output
// is one, else 6 (ERROR_INVALID_HANDLE).
int checkConsoleOutput();

// Lines stamped with the milliseconds since start(): "0001234ms text".
// Threads: any; one mutex keeps each line whole.
class StampedPrinter {
 public:
  explicit StampedPrinter(std::ostream& out) : out_(out) {}
  void start();
  void print(const std::string& text);
  // Unstamped text, kept whole against the stamped lines.
  void printPlain(const std::string& text);
  // The stamp for `elapsed` (7 digits, more when the time needs them).
  static std::string stamp(std::chrono::nanoseconds elapsed);

 private:
  std::ostream& out_;
  plat::Mutex mutex_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace protoprobe
