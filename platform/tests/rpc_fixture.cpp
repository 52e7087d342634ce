#include "rpc_fixture.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace plat::test {
namespace {

void put16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}

bool readExact(int fd, uint8_t* p, size_t n) {
  while (n) {
    ssize_t r = ::recv(fd, p, n, 0);
    if (r < 0 && errno == EINTR) continue;  // a fuzzer's timer, for one
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

bool readOneFrame(int fd, std::vector<uint8_t>* body) {
  uint8_t h[4];
  if (!readExact(fd, h, 4)) return false;
  uint32_t n = uint32_t(h[0]) | uint32_t(h[1]) << 8 | uint32_t(h[2]) << 16 | uint32_t(h[3]) << 24;
  if (n > kRpcFrameLimit) return false;
  body->resize(n);
  return readExact(fd, body->data(), n);
}

sockaddr_un controlAddress() {
  std::string path;
  pipePath(kControlPipeName, &path);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  return addr;
}

}  // namespace

std::vector<uint8_t> frame(const std::vector<uint8_t>& body) {
  std::vector<uint8_t> f;
  uint32_t n = uint32_t(body.size());
  for (int i = 0; i < 4; ++i) f.push_back(uint8_t(n >> (8 * i)));
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

std::vector<uint8_t> callBody(const RpcInterface& iface, uint16_t procedure,
                              const std::vector<uint8_t>& arguments) {
  std::vector<uint8_t> b;
  b.reserve(23 + arguments.size());
  b.push_back(0);
  for (uint8_t byte : iface.id) b.push_back(byte);
  put16(b, iface.major);
  put16(b, iface.minor);
  put16(b, procedure);
  for (uint8_t byte : arguments) b.push_back(byte);
  return b;
}

bool rawExchange(const std::vector<uint8_t>& bytes, std::vector<uint8_t>* reply) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr = controlAddress();
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return false;
  }
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t r = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (r <= 0) break;
    sent += size_t(r);
  }
  bool ok = readOneFrame(fd, reply);
  ::close(fd);
  return ok;
}

RawConnection::RawConnection(int timeoutMs) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_un addr = controlAddress();
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return;
  }
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  fd_ = fd;
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawConnection::send(const std::vector<uint8_t>& bytes) {
  size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    ssize_t r = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    sent += size_t(r);
  }
  return fd_ >= 0;
}

void RawConnection::endSending() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

RawConnection::Read RawConnection::readFrame(std::vector<uint8_t>* body) {
  if (fd_ < 0) return Read::kLost;
  errno = 0;
  if (readOneFrame(fd_, body)) return Read::kFrame;
  return errno == EAGAIN || errno == EWOULDBLOCK ? Read::kTimedOut : Read::kLost;
}

uint32_t faultCode(const std::vector<uint8_t>& body) {
  if (body.size() != 5 || body[0] != kRpcFrameFault) return 0;
  return uint32_t(body[1]) | uint32_t(body[2]) << 8 | uint32_t(body[3]) << 16 |
         uint32_t(body[4]) << 24;
}

FakeServer::FakeServer(std::vector<uint8_t> answer) : answer_(std::move(answer)) {
  std::string path;
  if (pipePath(kControlPipeName, &path) != 0 || makeParentDirs(path) != 0) return;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr = controlAddress();
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
  stopFd_ = ::eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread(&FakeServer::run, this);
}

FakeServer::~FakeServer() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    (void)!::write(stopFd_, &one, sizeof one);
    thread_.join();
  }
  if (fd_ >= 0) {
    std::string path;
    pipePath(kControlPipeName, &path);
    ::unlink(path.c_str());
    ::close(fd_);
  }
  if (stopFd_ >= 0) ::close(stopFd_);
}

void FakeServer::run() {
  pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
  while (::poll(fds, 2, -1) > 0 && !fds[1].revents) {
    int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    std::vector<uint8_t> call;
    if (readOneFrame(c, &call)) {
      size_t sent = 0;
      while (sent < answer_.size()) {
        ssize_t r = ::send(c, answer_.data() + sent, answer_.size() - sent, MSG_NOSIGNAL);
        if (r <= 0) break;
        sent += size_t(r);
      }
    }
    ::close(c);
  }
}

}  // namespace plat::test
