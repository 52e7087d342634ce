// Termination requests (SIGTERM, SIGINT) as something one thread waits for,
// rather than handlers that interrupt whatever code happens to run.
//
// install() blocks both signals in the calling thread, so it must run in
// main() before any other thread starts: every thread made afterwards
// inherits the mask, and the signals then queue for wait() alone. The mask
// is also inherited across exec, so a program this process starts should
// unblock them again in the child.
#pragma once

#include "plat/handle.h"
#include "plat/wake.h"

namespace plat {

class TerminationSignals {
 public:
  TerminationSignals() = default;
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

  // Blocks SIGTERM and SIGINT and opens the descriptor that receives them.
  // Win32 code, 0 on success.
  int install();

  // Waits at most timeoutMs (-1: no limit) for SIGTERM, SIGINT or a
  // requestQuit(). Returns the signal's number, kQuitRequested for a
  // requestQuit(), kTimedOut when nothing came, kFailed when waiting is not
  // possible (not installed, or the wait itself failed).
  int wait(int timeoutMs);

  // Any thread; makes a wait() return kQuitRequested (now, or the next one).
  void requestQuit();

  static constexpr int kQuitRequested = 0;
  static constexpr int kTimedOut = -1;
  static constexpr int kFailed = -2;

 private:
  Handle signals_ = kInvalidHandle;
  WakeEvent quit_;
};

}  // namespace plat
