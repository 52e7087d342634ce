// The road through the connection server's core: the transport manager and
// RPC server in the test process, the link protocol over the in-process
// media, and each device a devsim device running the core service.
#include "DeviceServer.h"
#include "InProcessDevice.h"
#include "devsim/CoreService.h"
#include "plat/runtime.h"
#include "testsupport/LinkhubHost.h"

namespace shelltest {

namespace {

class LinkhubHostServer : public DeviceServer {
 public:
  bool start(const std::string& workDir, const std::vector<DeviceSetup>& devices) override {
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", workDir + "/rt");
    host_ = std::make_unique<devmgr_test::LinkhubHost>();
    if (!host_->start()) return false;
    for (const DeviceSetup& d : devices) {
      const devsim::CoreConfig config = coreConfigFor(d, addRoot(workDir, d));
      if (!host_->addDevice(d.hwid, std::make_shared<devsim::CoreState>(config))) return false;
    }
    return true;
  }
  std::string name() const override { return "connection server core"; }

 private:
  std::unique_ptr<devmgr_test::LinkhubHost> host_;
};

}  // namespace

std::unique_ptr<DeviceServer> makeDeviceServer() { return std::make_unique<LinkhubHostServer>(); }

}  // namespace shelltest
