// The control RPC's wire framing and socket helpers, shared by the client
// stub and the server: u32 little-endian body length, then the body.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plat::rpcwire {

// Frame type, interface id, major, minor, procedure.
inline constexpr size_t kCallHeader = 1 + 16 + 2 + 2 + 2;

enum class ReadResult { kOk, kLost, kTooLong };

std::vector<uint8_t> faultBody(uint32_t code);

void closeFd(int fd);
struct FdGuard {
  int fd;
  ~FdGuard() { closeFd(fd); }
};

// SO_SNDTIMEO / SO_RCVTIMEO; 0 or less waits without a limit.
void setTimeout(int fd, int option, int ms);
bool sendAll(int fd, const uint8_t* p, size_t n, int flags = 0);
// False for a body over kRpcFrameLimit (nothing sent) or a failed send.
bool writeFrame(int fd, const std::vector<uint8_t>& body, int flags = 0);
bool recvAll(int fd, uint8_t* p, size_t n);
ReadResult readFrame(int fd, std::vector<uint8_t>* body);
bool peerCredentials(int fd, ucred* cred);
bool socketAddress(const std::string& path, sockaddr_un* addr);
// Connects a stream socket to `path`; the descriptor or -1 (errno set).
int connectTo(const std::string& path);

}  // namespace plat::rpcwire
