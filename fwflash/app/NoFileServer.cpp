// Built when this tree has no file server client: every transfer fails to
// start, as one does when no channel can be opened.
#include "DevicePorts.h"

namespace fwflash {
namespace {

constexpr int32_t kNoChannel = -107;

bool refuse(FileServerCallback callback, void* user) {
  callback(user, 2, &kNoChannel, sizeof kNoChannel);
  return false;
}

}  // namespace

bool FsprotoFileServer::unlink(const std::vector<uint8_t>&, FileServerCallback callback, void* user,
                               const std::string&, const std::string&) {
  return refuse(callback, user);
}

bool FsprotoFileServer::download(const std::vector<uint8_t>&, FileServerCallback callback, void* user,
                                 const std::string&, const std::string&, const std::string&, int) {
  return refuse(callback, user);
}

void FsprotoFileServer::cleanup() {}

const char* FsprotoFileServer::translateError(int code) {
  return code == kNoChannel ? "connection refused (ECONNREFUSED)" : nullptr;
}

}  // namespace fwflash
