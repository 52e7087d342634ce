// The exerciser's command line:
//   protoprobe <HWID> X <bytesize> <pktavgsize> <pktavgspan>
//   protoprobe <HWID> D|U <bytesize> <pktsize>
//   protoprobe <HWID> C <protid>
//   protoprobe <HWID> N <protname> [args...]
//   protoprobe L
// Anything else prints the usage (after the device list has been fetched).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace protoprobe {

enum class Mode { kNone, kBenchX, kBenchD, kBenchU, kRawConsole, kNamedConsole, kList };

struct Invocation {
  Mode mode = Mode::kNone;
  std::string hwidText;  // argument 1
  long long total = 0, packet = 0, span = 0;
  uint8_t protocolId = 0;
  std::string consoleName;               // N mode; empty with no name given
  std::vector<std::string> consoleArgs;  // N mode: what follows the name
};

// Mode selection from argv (argument 0 the program).
Invocation selectMode(const std::vector<std::string>& args);

extern const char* const kUsageLines[6];

// The whole program; returns main's exit code.
int runProtoprobe(const std::vector<std::string>& args);

}  // namespace protoprobe
