#include "plat/poll.h"

#include <errno.h>
#include <poll.h>

#include <chrono>
#include <vector>

namespace plat {

int pollHandles(PollItem* items, size_t count, int timeoutMs) {
  pollfd small[4];
  std::vector<pollfd> large;
  pollfd* fds = small;
  if (count > 4) {
    large.resize(count);
    fds = large.data();
  }
  for (size_t i = 0; i < count; ++i) {
    fds[i].fd = items[i].handle;  // negative descriptors are skipped by poll
    fds[i].events = short(((items[i].wanted & kPollRead) ? POLLIN : 0) |
                          ((items[i].wanted & kPollWrite) ? POLLOUT : 0));
    fds[i].revents = 0;
    items[i].ready = 0;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  int wait = timeoutMs;
  int rc;
  while ((rc = ::poll(fds, nfds_t(count), wait)) < 0 && errno == EINTR) {
    if (timeoutMs >= 0) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? int(left) : 0;
    }
  }
  if (rc <= 0) return rc;
  for (size_t i = 0; i < count; ++i) {
    short r = fds[i].revents;
    items[i].ready = ((r & POLLIN) ? kPollRead : 0) | ((r & POLLOUT) ? kPollWrite : 0) |
                     ((r & POLLHUP) ? kPollHangup : 0) |
                     ((r & (POLLERR | POLLNVAL)) ? kPollError : 0);
  }
  return rc;
}

}  // namespace plat
