// The whole road as a user runs it: the linkhub program with the usblink
// media over the virtual USB bus, and the devsim program with one emulated
// device per setup, each its own process (the shared end-to-end fixture).
#include "DeviceServer.h"
#include "e2e/Road.h"

using translayer::HwId;

namespace shelltest {

namespace {

class VbusRoadServer : public DeviceServer {
 public:
  bool start(const std::string& workDir, const std::vector<DeviceSetup>& devices) override {
    road_ = std::make_unique<e2e::Road>();
    if (!road_->ok() || !road_->startHub()) return false;
    if (devices.empty()) return true;

    const std::string storage = workDir + "/storage";
    std::vector<std::string> options = {"--storage", storage};
    // The program gives every device the same friendly name, or each its id.
    const std::string& friendly = devices[0].friendlyName;
    if (!friendly.empty()) options.insert(options.end(), {"--friendly-name", friendly});
    std::vector<e2e::Road::Device> sims;
    std::vector<HwId> ids;
    for (const DeviceSetup& d : devices) {
      if (d.friendlyName != friendly) return false;
      sims.push_back({d.name, d.hwid});
      ids.push_back(d.hwid);
      addRoot(workDir, d);
    }
    return road_->startDevsim(sims, options) >= 0 && road_->waitOnline(ids);
  }
  std::string name() const override { return "linkhub, usblink over the virtual bus, devsim"; }

 private:
  std::unique_ptr<e2e::Road> road_;
};

}  // namespace

std::unique_ptr<DeviceServer> makeDeviceServer() { return std::make_unique<VbusRoadServer>(); }

}  // namespace shelltest
