// The stand-in road: devmgr's stand-in server in the test process, each
// device a devsim core service right on its channel's pipe.
#include "DeviceServer.h"
#include "FakeHub.h"
#include "devsim/CoreService.h"
#include "plat/runtime.h"

namespace shelltest {

namespace {

class FakeHubServer : public DeviceServer {
 public:
  bool start(const std::string& workDir, const std::vector<DeviceSetup>& devices) override {
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", workDir + "/rt");
    hub_ = std::make_unique<devmgr_test::FakeHub>();
    if (!hub_->started()) return false;
    for (const DeviceSetup& d : devices) {
      devsim::CoreConfig config;
      config.friendlyName = d.friendlyName.empty() ? d.name : d.friendlyName;
      const std::filesystem::path root = std::filesystem::path(workDir) / "storage" / d.name / "root";
      std::filesystem::create_directories(root);
      config.storage["root"] = root;
      roots_.push_back(root);
      hub_->addDevice(d.hwid, devsim::CoreService::factory(std::make_shared<devsim::CoreState>(config)));
    }
    return true;
  }
  std::filesystem::path rootVolume(size_t device) const override { return roots_.at(device); }
  std::string name() const override { return "stand-in server"; }

 private:
  std::unique_ptr<devmgr_test::FakeHub> hub_;
  std::vector<std::filesystem::path> roots_;
};

}  // namespace

std::unique_ptr<DeviceServer> makeDeviceServer() { return std::make_unique<FakeHubServer>(); }

}  // namespace shelltest
