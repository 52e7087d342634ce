#include "ProtocolConsoles.h"

#include <iomanip>
#include <ostream>
#include <sstream>

#include "DigScopeConsole.h"
#include "FileServerRunner.h"
#include "ParamDbConsole.h"
#include "StatusConsole.h"
#include "plat/console.h"

using translayer::HwId;

namespace protoprobe {

const ProtocolConsoleRow kProtocolConsoleTable[4] = {
    {"ParamDB", runParamDbConsole},
    {"FileServer", runFileServer},
    {"Status", runStatusConsole},
    {"DigScope", runDigScopeConsole},
};

int runProtocolConsole(const std::string& name, const HwId& hwid,
                       const std::vector<std::string>& args, std::ostream& out) {
  for (const ProtocolConsoleRow& row : kProtocolConsoleTable) {
    if (name != row.name) continue;
    return row.run(hwid, args);
  }
  out << "\nAvailable protocols:\n";
  for (const ProtocolConsoleRow& row : kProtocolConsoleTable) out << "  " << row.name << "\n";
  out.flush();
  return -1;
}

std::string scopeResultText(int code) {
  static const struct {
    int code;
    const char* name;
    const char* text;
  } kScopeResults[] = {
      {0, "rcNoError", "Successful/No error"},
      {1, "rcInvalidState", "Invalid status for command availability"},
      {2, "rcExceedChannels", "Maximum capturing channels reached"},
      {3, "rcParameterNotFound", "Parameter not found"},
      {4, "rcUnmanagedParameterType", "Parameter data type not supported"},
      {5, "rcExceedTriggers", "Maximum supported triggers reached"},
      {6, "rcParameterSizeMismatch", "Threshold value data size mismatching parameter definition"},
      {7, "rcSamplingTimeOutOfRange", "Sampling time out of range / unsupported"},
      {8, "rcTimeDivisorOutOfRange", "Can't match the required different channels sampling times"},
      {9, "rcPreTriggerOverflow",
       "Pre-trigger time overflow current buffer capturing time capability"},
      {10, "rcUnsupportedFillerType", "Unsupported filler type"},
      {11, "rcUnsupportedTriggerType", "Unsupported trigger type"},
      {12, "rcInvalidChannelIndex", "Invalid channel index"},
      {13, "rcNoChannelsDefined", "No channel(s) defined, cannot capture data"},
      {14, "rcNoTriggersDefined", "No trigger(s) defined, cannot capture data"},
      {15, "rcDuplicatedChannel", "Channel already added on capture channels list"},
      {16, "rcChannelNotFound", "Channel not found on capture channels list"},
      {1024, "rcBrokenLink", "Broken link"},
  };
  for (const auto& r : kScopeResults)
    if (r.code == code) return std::string("(") + r.name + ") " + r.text;
  return {};
}

int checkConsoleOutput() { return plat::isTerminal(plat::standardOutput()) ? 0 : 6; }

void StampedPrinter::start() {
  plat::LockGuard lock(mutex_);
  start_ = std::chrono::steady_clock::now();
}

std::string StampedPrinter::stamp(std::chrono::nanoseconds elapsed) {
  // A stream of its own: no fill or width is left behind for other output.
  std::ostringstream text;
  text << std::setw(7) << std::setfill('0')
       << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() << "ms ";
  return text.str();
}

void StampedPrinter::print(const std::string& text) {
  plat::LockGuard lock(mutex_);
  const std::string line = stamp(std::chrono::steady_clock::now() - start_) + text + "\n";
  out_ << line << std::flush;
}

}  // namespace protoprobe

namespace protoprobe {

void StampedPrinter::printPlain(const std::string& text) {
  plat::LockGuard lock(mutex_);
  out_ << text << std::flush;
}

}  // namespace protoprobe
