// The road through the connection server's core: the transport manager and
// RPC server in the test process, the link protocol over the in-process
// media, and each device a devsim device running the core service.
#include "DeviceServer.h"
#include "LinkhubHost.h"
#include "devsim/CoreService.h"
#include "plat/runtime.h"

namespace shelltest {

namespace {

class LinkhubHostServer : public DeviceServer {
 public:
  bool start(const std::string& workDir, const std::vector<DeviceSetup>& devices) override {
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", workDir + "/rt");
    host_ = std::make_unique<devmgr_test::LinkhubHost>();
    if (!host_->start()) return false;
    for (const DeviceSetup& d : devices) {
      devsim::CoreConfig config;
      config.friendlyName = d.friendlyName.empty() ? d.name : d.friendlyName;
      const std::filesystem::path root = std::filesystem::path(workDir) / "storage" / d.name / "root";
      std::filesystem::create_directories(root);
      config.storage["root"] = root;
      roots_.push_back(root);
      if (!host_->addDevice(d.hwid, std::make_shared<devsim::CoreState>(config))) return false;
    }
    return true;
  }
  std::filesystem::path rootVolume(size_t device) const override { return roots_.at(device); }
  std::string name() const override { return "connection server core"; }

 private:
  std::unique_ptr<devmgr_test::LinkhubHost> host_;
  std::vector<std::filesystem::path> roots_;
};

}  // namespace

std::unique_ptr<DeviceServer> makeDeviceServer() { return std::make_unique<LinkhubHostServer>(); }

}  // namespace shelltest
