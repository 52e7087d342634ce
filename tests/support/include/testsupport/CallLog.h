// A test double's call log: one line per call that reached it, appended
// to the file an environment variable names, so a test can read the calls
// after the library (or the process) is gone.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace testsupport {

inline void appendCallLine(const char* environmentVariable, const std::string& line) {
  const char* path = std::getenv(environmentVariable);
  if (!path || !*path) return;
  if (std::FILE* f = std::fopen(path, "a")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

}  // namespace testsupport
