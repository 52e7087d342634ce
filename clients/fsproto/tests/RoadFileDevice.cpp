// The scenarios on the whole road: the linkhub program, usblink over the
// virtual bus, and a device of the test process.
#include <vector>

#include "FileDevice.h"
#include "clientcommon/Channel.h"
#include "e2e/Road.h"

using translayer::HwId;
using translayer::TrIfTranClient;
using translayer::TrIfTranPayload;
using translayer::TrIfTranRemote;

namespace fsproto_test {
namespace {

// Holds a channel open and ignores what comes on it.
class Idle : public TrIfTranRemote {
 public:
  bool deliver(std::shared_ptr<TrIfTranPayload>) override { return true; }
  void close(bool) override {}
};

class RoadFileDevice : public FileDevice {
 public:
  ~RoadFileDevice() override {
    for (auto& c : held_) clientcommon::closeChannel(std::move(c));
  }
  std::shared_ptr<devsim::FileServerState> start(
      const HwId& hwid, const std::map<std::string, std::filesystem::path>& volumes) override {
    if (!road_.ok() || !road_.startHub()) return nullptr;
    host_ = road_.plugDevice({"fsdev", hwid});
    if (!host_) return nullptr;
    hwid_ = hwid;
    std::shared_ptr<devsim::FileServerState> state = host_->services().files;
    devsim::FileServerConfig config = state->config();
    config.volumes = volumes;
    state->configure(config);
    return state;
  }
  void pull() override { host_->unplug(); }
  void stopServer() override { road_.stopHub(); }
  void exhaustChannels() override {
    // The device has 15 channels; the server refuses the 16th.
    for (int i = 0; i < 16; ++i) {
      auto client = clientcommon::openConnectedChannel(base::kProtocolCore, hwid_, &idle_, 30000);
      if (!client) break;
      held_.push_back(std::move(client));
    }
  }

 private:
  e2e::Road road_;
  devsim::DeviceHost* host_ = nullptr;
  HwId hwid_{};
  Idle idle_;
  std::vector<std::unique_ptr<TrIfTranClient>> held_;
};

}  // namespace

std::unique_ptr<FileDevice> makeFileDevice() { return std::make_unique<RoadFileDevice>(); }

}  // namespace fsproto_test
