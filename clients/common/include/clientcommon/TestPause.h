// Points where a test may hold a library's thread for a while, to reach an
// interleaving that is otherwise a matter of luck. The hook exists only when
// the test program defines it (the libraries refer to it weakly); in any
// other program a point costs one test of a null address.
#pragma once

extern "C" {
// `library` is the library's name ("scopeproto"), `point` the point's.
// Points: "connect" (the handler thread, a channel just opened, before its
// event 1; the registry lock held, no channel lock) and "request" (scopeproto, a request's thread,
// between its usability check and its note that it waits, channel lock
// held).
__attribute__((weak)) void vln_test_pause(const char* library, const char* point);
}

namespace clientcommon {

inline void testPause(const char* library, const char* point) {
  if (vln_test_pause) vln_test_pause(library, point);
}

}  // namespace clientcommon
