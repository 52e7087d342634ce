#include "plat/inotify.h"

#include <errno.h>
#include <limits.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>

#include "plat/errors.h"

namespace plat {

DirWatch::~DirWatch() { closeHandle(handle_); }

int DirWatch::open(const std::string& dir) {
  closeHandle(handle_);
  handle_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (handle_ < 0) {
    handle_ = kInvalidHandle;
    return lastSystemError();
  }
  const uint32_t mask = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF |
                        IN_MOVE_SELF | IN_ONLYDIR;
  if (::inotify_add_watch(handle_, dir.c_str(), mask) < 0) {
    int code = errno == ENOTDIR ? kErrorPathNotFound : lastSystemError();
    closeHandle(handle_);
    handle_ = kInvalidHandle;
    return code;
  }
  return 0;
}

bool DirWatch::read(std::vector<Change>* changes, bool* overflowed) {
  *overflowed = false;
  if (handle_ == kInvalidHandle) return false;
  alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
  bool alive = true;
  for (;;) {
    ssize_t n = ::read(handle_, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return alive;
      return false;
    }
    if (n == 0) return false;
    size_t at = 0;
    while (at + sizeof(inotify_event) <= size_t(n)) {
      inotify_event ev;
      std::memcpy(&ev, buffer + at, sizeof ev);
      const char* name = buffer + at + sizeof ev;
      at += sizeof ev + ev.len;
      if (at > size_t(n)) break;
      if (ev.mask & IN_Q_OVERFLOW) *overflowed = true;
      if (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) alive = false;
      if (ev.len == 0) continue;
      std::string entry(name, strnlen(name, ev.len));
      if (ev.mask & (IN_CREATE | IN_MOVED_TO)) changes->push_back({true, entry});
      if (ev.mask & (IN_DELETE | IN_MOVED_FROM)) changes->push_back({false, entry});
    }
  }
}

}  // namespace plat
