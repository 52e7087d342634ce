// The worker's ports bound to the real client libraries.
#pragma once

#include "fwflash/UpdaterPorts.h"

namespace fwflash {

class DevmgrDevice : public DeviceApi {
 public:
  Handle connect(const std::vector<uint8_t>& hwid) override;
  void disconnect(Handle handle) override;
  bool queryText(Handle handle, DeviceText which, uint8_t* buffer) override;
  bool requestUpgrade(Handle handle, const char* volume, const char* file) override;
  bool reset(Handle handle) override;
};

class FsprotoFileServer : public FileServerApi {
 public:
  bool unlink(const std::vector<uint8_t>& hwid, FileServerCallback callback, void* user,
              const std::string& volume, const std::string& remoteName) override;
  bool download(const std::vector<uint8_t>& hwid, FileServerCallback callback, void* user,
                const std::string& volume, const std::string& localPath,
                const std::string& remoteName, int attributes) override;
  void cleanup() override;
  const char* translateError(int code) override;
};

}  // namespace fwflash
