// The device end for the file server scenarios: a device serving the devsim
// file server on a state the test holds, behind some connection server. The
// scenarios run the same on every implementation of this (the stand-in
// server in the test process, or the whole road).
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "devsim/FileServerService.h"
#include "translayer/HwId.h"

namespace fsproto_test {

class FileDevice {
 public:
  virtual ~FileDevice() = default;
  // Starts the server and the device `hwid` serving `volumes`; the device's
  // file server state (knobs and records), or null when it did not come up.
  virtual std::shared_ptr<devsim::FileServerState> start(
      const translayer::HwId& hwid,
      const std::map<std::string, std::filesystem::path>& volumes) = 0;
  // The device vanishes without a word (its channels end).
  virtual void pull() = 0;
  // The connection server stops.
  virtual void stopServer() = 0;
  // Opening a channel to the device fails from now on (no free channel).
  virtual void exhaustChannels() = 0;
};

std::unique_ptr<FileDevice> makeFileDevice();

}  // namespace fsproto_test
