#include "plat/process.h"

#include <errno.h>
#include <signal.h>

#include "plat/errors.h"
#include "plat/handle.h"

namespace plat {

int signalProcess(int pid, ProcessSignal signal) {
  if (pid <= 0) return kErrorInvalidParameter;
  int number = SIGTERM;
  switch (signal) {
    case ProcessSignal::kInterrupt: number = SIGINT; break;
    case ProcessSignal::kTerminate: number = SIGTERM; break;
    case ProcessSignal::kKill: number = SIGKILL; break;
  }
  if (::kill(pid_t(pid), number) == 0) return 0;
  if (errno == ESRCH) return kErrorFileNotFound;
  return lastSystemError();
}

}  // namespace plat
