#include "plat/txevent.h"

#include <errno.h>
#include <stdint.h>
#include <unistd.h>

namespace plat {

bool setTransmitEvent(Handle event) {
  if (event == kInvalidHandle) return false;
  const uint64_t one = 1;
  for (;;) {
    if (::write(event, &one, sizeof one) == ssize_t(sizeof one)) return true;
    if (errno == EINTR) continue;
    return errno == EAGAIN;  // the counter is full: set already
  }
}

}  // namespace plat
