// Stop requests from outside a process (SIGINT, SIGTERM) as a handle that a
// poll loop waits on, and the signals one process sends another to stop it.
#pragma once

#include "plat/handle.h"

namespace plat {

class StopSignals {
 public:
  // Blocks SIGINT and SIGTERM in the calling thread, and so in every thread
  // it starts afterwards, and opens a handle that is readable while one of
  // them is pending. Make it in main before any other thread starts, or a
  // thread that still takes the signals ends the process the default way.
  StopSignals();
  // Closes the handle; the signals stay blocked.
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  bool valid() const { return handle_ != kInvalidHandle; }
  // Readable (kPollRead) while a stop signal is pending.
  Handle handle() const { return handle_; }
  // Takes one pending stop signal: its number (2 interrupt, 15 terminate),
  // or 0 when none is pending.
  int take();

 private:
  Handle handle_ = kInvalidHandle;
};

enum class ProcessSignal {
  kInterrupt,  // as Ctrl-C does
  kTerminate,  // the polite stop
  kKill,       // no chance to clean up
};

// Sends `signal` to the process `pid`. Win32 code: 0, 87 for a pid that is
// not a single process (0 or less), 2 when no such process, 5 when not ours.
int signalProcess(int pid, ProcessSignal signal);

}  // namespace plat
