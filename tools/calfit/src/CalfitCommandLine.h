// calfit's command line: the options, their checks, and what a run is asked
// to do.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace calfit {

inline constexpr int kExitDone = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitRunFailed = -1;
inline constexpr int kExitUnparsable = -2;

struct CalfitRequest {
  std::vector<std::string> definitions;
  std::string dataSet;
  std::vector<std::string> dataValues;  // forward mode only
  bool reverse = false;
  std::string reverseFile;
  std::string output;
  bool quiet = false;
};

// Parses and checks the command line. Returns true with the request filled
// in; otherwise it has printed what the user needs and *exitCode says how
// to end (kExitUsage or kExitUnparsable).
bool parseCommandLine(int argc, const char* const* argv, std::ostream& out, CalfitRequest& request,
                      int& exitCode);

}  // namespace calfit
