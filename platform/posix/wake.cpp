#include "plat/wake.h"

#include <errno.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace plat {

WakeEvent::WakeEvent() : handle_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (handle_ < 0) handle_ = kInvalidHandle;
}

WakeEvent::~WakeEvent() { closeHandle(handle_); }

void WakeEvent::set() {
  uint64_t one = 1;
  // EAGAIN means the counter is saturated, i.e. already set.
  while (::write(handle_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool WakeEvent::consume() {
  uint64_t count = 0;
  ssize_t r;
  while ((r = ::read(handle_, &count, sizeof count)) < 0 && errno == EINTR) {
  }
  return r == sizeof count && count != 0;
}

}  // namespace plat
