#include "plat/devsim_signals.h"

#include <errno.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace plat {

StopSignals::StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  const int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd >= 0) handle_ = fd;
}

StopSignals::~StopSignals() { closeHandle(handle_); }

int StopSignals::take() {
  if (handle_ == kInvalidHandle) return 0;
  signalfd_siginfo info{};
  ssize_t r;
  while ((r = ::read(handle_, &info, sizeof info)) < 0 && errno == EINTR) {
  }
  if (r != ssize_t(sizeof info)) return 0;
  return int(info.ssi_signo);
}

int signalProcess(int pid, ProcessSignal signal) {
  if (pid <= 0) return 87;
  int number = SIGTERM;
  switch (signal) {
    case ProcessSignal::kInterrupt: number = SIGINT; break;
    case ProcessSignal::kTerminate: number = SIGTERM; break;
    case ProcessSignal::kKill: number = SIGKILL; break;
  }
  if (::kill(pid_t(pid), number) == 0) return 0;
  if (errno == ESRCH) return 2;
  return lastSystemError();
}

}  // namespace plat
