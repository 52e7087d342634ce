// The device end for the file server scenarios: a device serving the devsim
// file server on a state the test holds, behind some connection server. The
// scenarios run the same on every implementation of this (the stand-in
// server in the test process, or the whole road).
#pragma once

#include <memory>

#include "devsim/FileServerService.h"
#include "translayer/HwId.h"

namespace fsproto_test {

class FileDevice {
 public:
  virtual ~FileDevice() = default;
  // LINKHUB_RUNTIME_DIR names the test's own directory already. Starts the
  // server and the device `hwid` on `state`; false when it did not come up.
  virtual bool start(const HwId& hwid, std::shared_ptr<devsim::FileServerState> state) = 0;
  // The device vanishes without a word (its channels end).
  virtual void pull() = 0;
  // The connection server stops.
  virtual void stopServer() = 0;
  // Opening a channel to the device fails from now on (no free channel).
  virtual void exhaustChannels() = 0;
};

std::unique_ptr<FileDevice> makeFileDevice();

}  // namespace fsproto_test
