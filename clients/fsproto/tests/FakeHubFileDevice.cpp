// The scenarios on the stand-in server: the service runs right on each
// channel's pipe.
#include "FileDevice.h"
#include "testsupport/FakeHub.h"

using translayer::HwId;

namespace fsproto_test {
namespace {

class FakeHubFileDevice : public FileDevice {
 public:
  std::shared_ptr<devsim::FileServerState> start(
      const HwId& hwid, const std::map<std::string, std::filesystem::path>& volumes) override {
    hwid_ = hwid;
    hub_ = std::make_unique<devmgr_test::FakeHub>();
    if (!hub_->started()) return nullptr;
    devsim::FileServerConfig config;
    config.volumes = volumes;
    auto state = std::make_shared<devsim::FileServerState>(config);
    hub_->addDevice(hwid, devsim::FileServerService::factory(state));
    return state;
  }
  void pull() override { hub_->removeDevice(hwid_); }
  void stopServer() override { hub_.reset(); }
  void exhaustChannels() override { hub_->setOpenResult(3); }

 private:
  HwId hwid_{};
  std::unique_ptr<devmgr_test::FakeHub> hub_;
};

}  // namespace

std::unique_ptr<FileDevice> makeFileDevice() { return std::make_unique<FakeHubFileDevice>(); }

}  // namespace fsproto_test
