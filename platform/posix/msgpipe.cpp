#include "plat/msgpipe.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>

#include "plat/errors.h"
#include "plat/runtime.h"
#include "record_batch.h"

namespace plat {
namespace {

constexpr int kListenBacklog = 4;  // room for refused strangers beside the one peer

bool fillAddress(const std::string& path, sockaddr_un* addr) {
  if (path.size() > kMaxSocketPath) return false;
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  memcpy(addr->sun_path, path.data(), path.size());
  return true;
}

std::string boundPath(Handle listener) {
  sockaddr_un addr;
  socklen_t len = sizeof addr;
  if (::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return {};
  if (len <= offsetof(sockaddr_un, sun_path) || addr.sun_path[0] == '\0') return {};
  return std::string(addr.sun_path, strnlen(addr.sun_path, len - offsetof(sockaddr_un, sun_path)));
}

bool peerIsSameUser(Handle h) {
  ucred cred;
  socklen_t len = sizeof cred;
  return ::getsockopt(h, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred &&
         cred.uid == ::geteuid();
}

Handle newSocket() { return ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

}  // namespace

int pipeListen(const std::string& windowsName, Handle* listener) {
  *listener = kInvalidHandle;
  std::string path;
  if (int rc = pipePath(windowsName, &path)) return rc;
  if (int rc = makeParentDirs(path)) return rc;
  // The directory is private to this user, so a socket already there is a
  // leftover of an earlier listener of ours.
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return kErrorAlreadyExists;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return lastSystemError();
  }
  sockaddr_un addr;
  fillAddress(path, &addr);
  Handle h = newSocket();
  if (h < 0) return lastSystemError();
  if (::bind(h, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(h, kListenBacklog) != 0) {
    int rc = lastSystemError();
    closeHandle(h);
    return rc;
  }
  *listener = h;
  return 0;
}

int pipeAccept(Handle listener, Handle* connection, int timeoutMs) {
  *connection = kInvalidHandle;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  while (true) {
    int wait = -1;
    if (timeoutMs >= 0) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? int(left) : 0;
    }
    pollfd p{listener, POLLIN, 0};
    int rc = ::poll(&p, 1, wait);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return lastSystemError();
    }
    if (rc == 0) return kErrorWaitTimeout;
    Handle h = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (h < 0) {
      if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) continue;
      return lastSystemError();
    }
    if (!peerIsSameUser(h)) {
      closeHandle(h);
      continue;
    }
    pipeAbandon(listener);
    *connection = h;
    return 0;
  }
}

int pipeConnect(const std::string& windowsName, Handle* connection) {
  *connection = kInvalidHandle;
  std::string path;
  if (int rc = pipePath(windowsName, &path)) return rc;
  sockaddr_un addr;
  fillAddress(path, &addr);
  Handle h = newSocket();
  if (h < 0) return lastSystemError();
  int rc;
  while ((rc = ::connect(h, reinterpret_cast<sockaddr*>(&addr), sizeof addr)) != 0 &&
         errno == EINTR) {
  }
  if (rc != 0) {
    rc = lastSystemError();  // ENOENT, ECONNREFUSED -> 2; EAGAIN (backlog full) -> 231
    closeHandle(h);
    return rc;
  }
  if (!peerIsSameUser(h)) {
    closeHandle(h);
    return kErrorAccessDenied;
  }
  *connection = h;
  return 0;
}

void pipeAbandon(Handle listener) {
  if (listener == kInvalidHandle) return;
  std::string path = boundPath(listener);
  if (!path.empty()) ::unlink(path.c_str());
  closeHandle(listener);
}

int pipePair(Handle* first, Handle* second) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
    *first = *second = kInvalidHandle;
    return lastSystemError();
  }
  *first = fds[0];
  *second = fds[1];
  return 0;
}

PipeIo pipeRead(Handle h, void* buffer, size_t capacity, size_t* n) {
  *n = 0;
  if (capacity == 0) return PipeIo::kError;
  iovec iov{buffer, capacity};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  ssize_t r;
  while ((r = ::recvmsg(h, &msg, 0)) < 0 && errno == EINTR) {
  }
  if (r < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return PipeIo::kWouldBlock;
    if (errno == ECONNRESET || errno == ENOTCONN || errno == EPIPE) return PipeIo::kClosed;
    return PipeIo::kError;
  }
  if (r == 0) return PipeIo::kClosed;
  *n = size_t(r);
  if (msg.msg_flags & MSG_TRUNC) return PipeIo::kTooLong;
  return PipeIo::kDone;
}

PipeIo pipeWrite(Handle h, const void* data, size_t length, size_t* n) {
  *n = 0;
  if (length == 0) return PipeIo::kError;  // would read as the peer's close
  ssize_t r;
  while ((r = ::send(h, data, length, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  if (r < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return PipeIo::kWouldBlock;
    if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) return PipeIo::kClosed;
    if (errno == EMSGSIZE) return PipeIo::kTooLong;
    return PipeIo::kError;
  }
  *n = size_t(r);
  return PipeIo::kDone;
}

namespace {

PipeIo readError(int error) {
  if (error == EAGAIN || error == EWOULDBLOCK) return PipeIo::kWouldBlock;
  if (error == ECONNRESET || error == ENOTCONN || error == EPIPE) return PipeIo::kClosed;
  return PipeIo::kError;
}

PipeIo writeError(int error) {
  if (error == EAGAIN || error == EWOULDBLOCK) return PipeIo::kWouldBlock;
  if (error == EPIPE || error == ECONNRESET || error == ENOTCONN) return PipeIo::kClosed;
  if (error == EMSGSIZE) return PipeIo::kTooLong;
  return PipeIo::kError;
}

}  // namespace

PipeIo pipeReadMany(Handle h, PipeRecord* records, size_t count, size_t* done) {
  *done = 0;
  batch::Headers b;
  if (count == 0 || !batch::point(b, records, count)) return PipeIo::kError;
  mmsghdr* const msgs = b.msgs;
  int r;
  while ((r = ::recvmmsg(h, msgs, unsigned(b.count), MSG_DONTWAIT, nullptr)) < 0 &&
         errno == EINTR) {
  }
  if (r < 0) return readError(errno);
  // A closed peer reads as empty records from there on; a record over its
  // buffer is cut (MSG_TRUNC). Both end the batch where they stand.
  for (int i = 0; i < r; ++i) {
    if (msgs[i].msg_len == 0) return PipeIo::kClosed;
    if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) return PipeIo::kTooLong;
    records[i].length = msgs[i].msg_len;
    ++*done;
  }
  return PipeIo::kDone;
}

PipeIo pipeWriteMany(Handle h, const PipeRecord* records, size_t count, size_t* done) {
  *done = 0;
  batch::Headers b;
  if (count == 0 || !batch::point(b, records, count)) return PipeIo::kError;
  mmsghdr* const msgs = b.msgs;
  int r;
  while ((r = ::sendmmsg(h, msgs, unsigned(b.count), MSG_NOSIGNAL | MSG_DONTWAIT)) < 0 &&
         errno == EINTR) {
  }
  if (r < 0) return writeError(errno);
  for (int i = 0; i < r; ++i) {
    // A record goes whole or not at all on these sockets.
    if (msgs[i].msg_len != records[i].capacity) return PipeIo::kError;
    ++*done;
  }
  return PipeIo::kDone;
}

}  // namespace plat
