#include "rpc_wire.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/ByteReader.h"
#include "plat/rpc.h"
#include "plat/sysmsg.h"

namespace plat {

RpcException::RpcException(uint32_t code)
    : code_(code), what_("RPC exception " + std::to_string(code) + ": " + systemMessage(code)) {}

namespace rpcwire {

namespace {
constexpr size_t kReadStep = 64 * 1024;  // frames grow as their bytes arrive
}  // namespace

std::vector<uint8_t> faultBody(uint32_t code) {
  return base::ByteWriter().u8(kRpcFrameFault).u32(code).take();
}

void closeFd(int fd) {
  if (fd >= 0) ::close(fd);
}

void setTimeout(int fd, int option, int ms) {
  timeval tv{};
  if (ms > 0) {
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
  }
  setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

bool sendAll(int fd, const uint8_t* p, size_t n, int flags) {
  while (n) {
    ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL | flags);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

bool writeFrame(int fd, const std::vector<uint8_t>& body, int flags) {
  if (body.size() > kRpcFrameLimit) return false;
  uint8_t header[4];
  base::storeLittleEndian(header, body.size(), sizeof header);
  return sendAll(fd, header, 4, flags) && sendAll(fd, body.data(), body.size(), flags);
}

bool recvAll(int fd, uint8_t* p, size_t n) {
  while (n) {
    ssize_t r = ::recv(fd, p, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;  // closed, reset, cut by stop(), or SO_RCVTIMEO
    p += r;
    n -= size_t(r);
  }
  return true;
}

ReadResult readFrame(int fd, std::vector<uint8_t>* body) {
  uint8_t header[4];
  if (!recvAll(fd, header, 4)) return ReadResult::kLost;
  const uint32_t length = base::loadU32(header);
  if (length > kRpcFrameLimit) return ReadResult::kTooLong;
  body->clear();
  while (body->size() < length) {
    const size_t have = body->size();
    body->resize(std::min<size_t>(length, have + kReadStep));
    if (!recvAll(fd, body->data() + have, body->size() - have)) return ReadResult::kLost;
  }
  return ReadResult::kOk;
}

bool peerCredentials(int fd, ucred* cred) {
  socklen_t len = sizeof *cred;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, cred, &len) == 0 && len == sizeof *cred;
}

bool socketAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

int connectTo(const std::string& path) {
  sockaddr_un addr;
  if (!socketAddress(path, &addr)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int r;
  do {
    r = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

}  // namespace rpcwire
}  // namespace plat
