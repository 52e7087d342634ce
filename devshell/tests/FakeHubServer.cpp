// The stand-in road: devmgr's stand-in server in the test process, each
// device a devsim core service right on its channel's pipe.
#include "DeviceServer.h"
#include "InProcessDevice.h"
#include "devsim/CoreService.h"
#include "plat/runtime.h"
#include "testsupport/FakeHub.h"

namespace shelltest {

namespace {

class FakeHubServer : public DeviceServer {
 public:
  bool start(const std::string& workDir, const std::vector<DeviceSetup>& devices) override {
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", workDir + "/rt");
    hub_ = std::make_unique<devmgr_test::FakeHub>();
    if (!hub_->started()) return false;
    for (const DeviceSetup& d : devices) {
      const devsim::CoreConfig config = coreConfigFor(d, addRoot(workDir, d));
      hub_->addDevice(d.hwid,
                      devsim::CoreService::factory(std::make_shared<devsim::CoreState>(config)));
    }
    return true;
  }
  std::string name() const override { return "stand-in server"; }

 private:
  std::unique_ptr<devmgr_test::FakeHub> hub_;
};

}  // namespace

std::unique_ptr<DeviceServer> makeDeviceServer() { return std::make_unique<FakeHubServer>(); }

}  // namespace shelltest
