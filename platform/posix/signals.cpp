#include "plat/signals.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "plat/errors.h"
#include "plat/poll.h"

namespace plat {
namespace {

sigset_t terminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

TerminationSignals::~TerminationSignals() { closeHandle(signals_); }

int TerminationSignals::install() {
  if (signals_ != kInvalidHandle) return 0;
  if (!quit_.valid()) return kErrorNotEnoughMemory;  // no descriptor for the wake event
  const sigset_t set = terminationSet();
  if (int rc = ::pthread_sigmask(SIG_BLOCK, &set, nullptr)) {
    errno = rc;
    return lastSystemError();
  }
  Handle h = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (h < 0) return lastSystemError();
  signals_ = h;
  return 0;
}

int TerminationSignals::wait(int timeoutMs) {
  if (signals_ == kInvalidHandle) return kFailed;
  for (;;) {
    PollItem items[2] = {{signals_, kPollRead, 0}, {quit_.handle(), kPollRead, 0}};
    const int n = pollHandles(items, 2, timeoutMs);
    if (n < 0) return kFailed;
    if (n == 0) return kTimedOut;
    if (items[0].ready) {
      signalfd_siginfo info;
      ssize_t r;
      while ((r = ::read(signals_, &info, sizeof info)) < 0 && errno == EINTR) {
      }
      if (r == ssize_t(sizeof info)) return int(info.ssi_signo);
      if (r < 0 && errno != EAGAIN) return kFailed;
      // Taken by another reader already: wait on.
      continue;
    }
    if (items[1].ready) {
      quit_.consume();
      return kQuitRequested;
    }
  }
}

void TerminationSignals::requestQuit() { quit_.set(); }

}  // namespace plat
