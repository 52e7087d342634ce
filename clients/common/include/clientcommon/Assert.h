// Argument misuse in the client libraries stops the process with the
// assertion's text, the library's source name and the line.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace clientcommon {

// The texts of the client libraries' assertions.
inline constexpr const char* kAssertHandle = "handle";
inline constexpr const char* kAssertRegistration = "ch";
inline constexpr const char* kAssertHwidSize = "sizeof(inhwid.id) == _hwidsz";
inline constexpr const char* kAssertRpcHeap = "RpcHeap != NULL";

[[noreturn]] inline void assertionFailed(const char* text, const char* file, int line) {
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", text, file, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace clientcommon

#define VLN_CLIENT_ASSERT(condition, text, file)                             \
  do {                                                                       \
    if (!(condition)) ::clientcommon::assertionFailed(text, file, __LINE__); \
  } while (0)
