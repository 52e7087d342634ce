#include <fsproto/fsproto.h>

#include "DevicePorts.h"

namespace fwflash {

bool FsprotoFileServer::unlink(const std::vector<uint8_t>& hwid, FileServerCallback callback,
                               void* user, const std::string& volume,
                               const std::string& remoteName) {
  return ProtFSrvUnlink(hwid.data(), hwid.size(), callback, user, volume.c_str(),
                        remoteName.c_str());
}

bool FsprotoFileServer::download(const std::vector<uint8_t>& hwid, FileServerCallback callback,
                                 void* user, const std::string& volume,
                                 const std::string& localPath, const std::string& remoteName,
                                 int attributes) {
  return ProtFSrvDownload(hwid.data(), hwid.size(), callback, user, volume.c_str(),
                          localPath.c_str(), remoteName.c_str(), attributes);
}

void FsprotoFileServer::cleanup() { ProtFSrvCleanup(); }

const char* FsprotoFileServer::translateError(int code) { return ProtFSrvTranslateError(code); }

}  // namespace fwflash
