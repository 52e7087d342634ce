// The whole road as a user runs it: the linkhub program with the usblink
// media over the virtual USB bus, and the devsim program with one emulated
// device per setup, each its own process.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "DeviceServer.h"
#include "ShellRunner.h"
#include "devmgr/devmgr.h"
#include "plat/devsim_signals.h"
#include "plat/runtime.h"

namespace shelltest {

namespace {

std::string hexOf(const HwId& id) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : id.id) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

// A program running in the background until stop().
class Background {
 public:
  ~Background() { stop(); }
  // Runs `command` through /bin/sh; its output goes to `log`.
  void start(const std::string& command, const std::string& pidFile, const std::string& log) {
    pidFile_ = pidFile;
    const std::string line = "echo $$ >" + shellQuote(pidFile) + "; exec " + command + " >" +
                             shellQuote(log) + " 2>&1";
    done_ = std::async(std::launch::async, [line] { return std::system(line.c_str()); });
  }
  void stop() {
    if (!done_.valid()) return;
    int pid = 0;
    for (int i = 0; i < 2000 && pid <= 0; ++i) {
      std::ifstream(pidFile_) >> pid;
      if (pid <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    plat::signalProcess(pid, plat::ProcessSignal::kTerminate);
    if (done_.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
      plat::signalProcess(pid, plat::ProcessSignal::kKill);
    done_.get();
  }

 private:
  std::string pidFile_;
  std::future<int> done_;
};

class VbusRoadServer : public DeviceServer {
 public:
  ~VbusRoadServer() override {
    // The server first, so that it sees no device vanish under it.
    linkhub_.stop();
    devsim_.stop();
  }

  bool start(const std::string& workDir, const std::vector<DeviceSetup>& devices) override {
    const std::string vbus = workDir + "/vbus", storage = workDir + "/storage";
    std::filesystem::create_directories(vbus);
    const std::string registry = workDir + "/registry.reg";
    std::ofstream(registry) << "Windows Registry Editor Version 5.00\n\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\linkhub\\Media]\n"
                               "\"usb\"=\"" USBLINK_MODULE "\"\n";
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", workDir + "/rt");
    plat::setEnvironment("LINKHUB_REGISTRY", registry);
    plat::setEnvironment("USBLINK_VBUS", vbus);

    if (!devices.empty()) {
      std::string command = shellQuote(DEVSIM_PROGRAM) + " --vbus " + shellQuote(vbus) +
                            " --storage " + shellQuote(storage);
      // The program gives every device the same friendly name, or each its id.
      const std::string& friendly = devices[0].friendlyName;
      for (const DeviceSetup& d : devices)
        if (d.friendlyName != friendly) return false;
      if (!friendly.empty()) command += " --friendly-name " + shellQuote(friendly);
      for (const DeviceSetup& d : devices) {
        command += " --id " + shellQuote(d.name) + " --hwid " + hexOf(d.hwid);
        roots_.push_back(std::filesystem::path(storage) / d.name / "root");
      }
      devsim_.start(command, workDir + "/devsim.pid", workDir + "/devsim.log");
    }
    linkhub_.start(shellQuote(LINKHUB_PROGRAM), workDir + "/linkhub.pid", workDir + "/linkhub.log");

    // Up once the server lists every device.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      uint8_t ids[16][DEVMGR_HWID_SIZE];
      size_t count = 16;
      if (DevmgrGetOnlineDevices(ids, &count) && count == devices.size()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::filesystem::path rootVolume(size_t device) const override { return roots_.at(device); }
  std::string name() const override { return "linkhub, usblink over the virtual bus, devsim"; }

 private:
  Background devsim_;
  Background linkhub_;
  std::vector<std::filesystem::path> roots_;
};

}  // namespace

std::unique_ptr<DeviceServer> makeDeviceServer() { return std::make_unique<VbusRoadServer>(); }

}  // namespace shelltest
