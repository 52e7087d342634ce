#include "plat/vbus.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "plat/errors.h"
#include "record_batch.h"

namespace plat {
namespace {

using Clock = std::chrono::steady_clock;

int makeAddress(const std::string& path, sockaddr_un* addr) {
  if (path.empty() || path.size() >= sizeof addr->sun_path) return kErrorFilenameTooLong;
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  std::memcpy(addr->sun_path, path.data(), path.size());
  return 0;
}

Handle makeSocket() { return ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

bool sameUser(Handle h) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(h, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  return cred.uid == ::geteuid();
}

// Milliseconds left until deadline, never negative; -1 stays "no limit".
int msLeft(int timeoutMs, Clock::time_point deadline) {
  if (timeoutMs < 0) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? int(left) : 0;
}

// Waits for `events` on h; false when the time ran out (or poll failed).
bool waitFor(Handle h, short events, int timeoutMs, Clock::time_point deadline) {
  for (;;) {
    pollfd p{h, events, 0};
    int rc = ::poll(&p, 1, msLeft(timeoutMs, deadline));
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

bool vbusValidId(const std::string& id) {
  if (id.empty() || id.size() > 64) return false;
  for (char c : id) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

int vbusPublish(const std::string& dir, const std::string& id, Handle* listener) {
  *listener = kInvalidHandle;
  if (!vbusValidId(id)) return kErrorInvalidName;
  const std::string hidden = dir + "/." + id + ".tmp";
  const std::string visible = dir + "/" + id + ".sock";
  sockaddr_un addr;
  if (makeAddress(hidden, &addr) != 0 || visible.size() >= sizeof addr.sun_path)
    return kErrorFilenameTooLong;
  struct stat st;
  if (::lstat(visible.c_str(), &st) == 0) return kErrorAlreadyExists;
  ::unlink(hidden.c_str());  // a leftover of a publisher that died half-way
  Handle h = makeSocket();
  if (h < 0) return lastSystemError();
  if (::bind(h, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(h, 4) != 0) {
    int code = lastSystemError();
    closeHandle(h);
    ::unlink(hidden.c_str());
    return code;
  }
  if (::rename(hidden.c_str(), visible.c_str()) != 0) {
    int code = lastSystemError();
    closeHandle(h);
    ::unlink(hidden.c_str());
    return code;
  }
  *listener = h;
  return 0;
}

int vbusAccept(Handle listener, Handle* connection, int timeoutMs) {
  *connection = kInvalidHandle;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    Handle c = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (c >= 0) {
      if (sameUser(c)) {
        *connection = c;
        return 0;
      }
      closeHandle(c);
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return lastSystemError();
    if (!waitFor(listener, POLLIN, timeoutMs, deadline)) return kErrorWaitTimeout;
  }
}

void vbusUnpublish(const std::string& dir, const std::string& id, Handle listener) {
  if (vbusValidId(id)) ::unlink((dir + "/" + id + ".sock").c_str());
  closeHandle(listener);
}

int vbusConnect(const std::string& socketPath, int retryMs, Handle* connection) {
  *connection = kInvalidHandle;
  sockaddr_un addr;
  if (makeAddress(socketPath, &addr) != 0) return kErrorFilenameTooLong;
  const auto deadline = Clock::now() + std::chrono::milliseconds(retryMs < 0 ? 0 : retryMs);
  for (;;) {
    Handle h = makeSocket();
    if (h < 0) return lastSystemError();
    int rc = ::connect(h, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    if (rc != 0 && (errno == EINPROGRESS || errno == EINTR)) {
      // AF_UNIX connects do not usually pend; when one does, wait it out.
      int err = 0;
      socklen_t len = sizeof err;
      if (waitFor(h, POLLOUT, retryMs, deadline) &&
          ::getsockopt(h, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
        rc = 0;
      } else {
        errno = err ? err : ETIMEDOUT;
      }
    }
    if (rc == 0) {
      if (!sameUser(h)) {
        closeHandle(h);
        return kErrorAccessDenied;
      }
      *connection = h;
      return 0;
    }
    int err = errno;
    closeHandle(h);
    bool retry = err == ECONNREFUSED || err == ENOENT || err == EAGAIN;
    if (!retry) {
      errno = err;
      return lastSystemError();
    }
    if (Clock::now() >= deadline) return kErrorFileNotFound;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

VbusIo vbusSend(Handle h, const void* record, size_t length, int timeoutMs) {
  return vbusSendParts(h, record, length, nullptr, 0, timeoutMs);
}

VbusIo vbusSendParts(Handle h, const void* head, size_t headLength, const void* body,
                     size_t bodyLength, int timeoutMs) {
  const size_t length = headLength + bodyLength;
  if (length == 0) return VbusIo::kError;
  iovec iov[2] = {{const_cast<void*>(head), headLength}, {const_cast<void*>(body), bodyLength}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = bodyLength > 0 ? 2 : 1;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    ssize_t n = ::sendmsg(h, &msg, MSG_NOSIGNAL);
    if (n >= 0) return size_t(n) == length ? VbusIo::kDone : VbusIo::kError;
    if (errno == EINTR) continue;
    if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) return VbusIo::kClosed;
    if (errno == EMSGSIZE) return VbusIo::kTooLong;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return VbusIo::kError;
    if (timeoutMs == 0 || !waitFor(h, POLLOUT, timeoutMs, deadline)) return VbusIo::kTimeout;
  }
}

VbusIo vbusReceive(Handle h, void* buffer, size_t capacity, size_t* n, int timeoutMs) {
  *n = 0;
  if (capacity == 0) return VbusIo::kError;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    ssize_t r = ::recv(h, buffer, capacity, MSG_TRUNC);
    if (r > 0) {
      if (size_t(r) > capacity) return VbusIo::kTooLong;
      *n = size_t(r);
      return VbusIo::kDone;
    }
    if (r == 0) return VbusIo::kClosed;
    if (errno == EINTR) continue;
    if (errno == ECONNRESET || errno == ENOTCONN || errno == EPIPE) return VbusIo::kClosed;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return VbusIo::kError;
    if (timeoutMs == 0 || !waitFor(h, POLLIN, timeoutMs, deadline)) return VbusIo::kTimeout;
  }
}

VbusIo vbusReceiveMany(Handle h, VbusRecord* records, size_t count, size_t* done) {
  *done = 0;
  batch::Headers b;
  if (count == 0 || !batch::point(b, records, count)) return VbusIo::kError;
  mmsghdr* const msgs = b.msgs;
  int r;
  // MSG_TRUNC: each length is the record's own, also when it was cut.
  while ((r = ::recvmmsg(h, msgs, unsigned(b.count), MSG_DONTWAIT | MSG_TRUNC, nullptr)) < 0 &&
         errno == EINTR) {
  }
  if (r < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return VbusIo::kTimeout;
    if (errno == ECONNRESET || errno == ENOTCONN || errno == EPIPE) return VbusIo::kClosed;
    return VbusIo::kError;
  }
  // A closed peer reads as empty records from there on.
  for (int i = 0; i < r && msgs[i].msg_len > 0; ++i) {
    records[i].length = msgs[i].msg_len;
    ++*done;
  }
  return *done > 0 ? VbusIo::kDone : VbusIo::kClosed;
}

}  // namespace plat
