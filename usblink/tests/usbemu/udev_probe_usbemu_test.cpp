// The udev probe on emulated USB devices: it confirms a device whose MS OS 2.0
// descriptors name the link interface class and nothing else, and always
// lets go of the device it opened.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "UsbEmu.h"
#include "plat/runtime.h"
#include "testsupport/ShellRunner.h"

namespace {

using usbemu::DeviceSpec;
using usbemu::EmulatedDevice;
using usbemu::Matching;

__attribute__((constructor)) void preload(int, char** argv) { usbemu::runUnderPreload(argv); }

struct Case {
  const char* what;
  Matching matching;
  int status;        // the probe's exit status
  const char* says;  // in its output (confirmed) or on standard error
  bool opens;        // whether it had to open the device to decide
};

const Case kCases[] = {
    {"names the link class", Matching::kMsOs20, 0, "link", true},
    {"names another class", Matching::kOtherClass, 1, "does not name the link interface class",
     true},
    {"USB 2.0, no BOS", Matching::kIdOnly, 1, "USB below 2.01", false},
    {"stalls the descriptor set request", Matching::kSetStalls, 1, "cannot be read", true},
    {"malformed descriptor set", Matching::kMalformedSet, 1,
     "does not name the link interface class", true},
};

class UdevProbeUsbEmu : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bed_.ok());
    dir_ = plat::makeTempDir("udev-probe-");
    ASSERT_FALSE(dir_.empty());
    // The probe sees the test bed as udev's child sees the real bus.
    for (const std::string& e : bed_.childEnvironment()) {
      const size_t eq = e.find('=');
      plat::setEnvironment(e.substr(0, eq), e.substr(eq + 1));
    }
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  shelltest::ShellResult probe(const std::vector<std::string>& args) {
    shelltest::ShellRunner runner(USBLINK_PROBE, dir_);
    return runner.run(args);
  }

  usbemu::Testbed bed_;
  std::string dir_;
};

TEST_F(UdevProbeUsbEmu, ConfirmsOnlyDevicesNamingTheLinkClass) {
  std::vector<EmulatedDevice*> devices;
  int devnum = 2;
  for (const Case& c : kCases) {
    DeviceSpec s;
    s.port = devnum;
    s.devnum = devnum++;
    s.matching = c.matching;
    s.product = uint16_t(0x7A50 + devnum);
    devices.push_back(bed_.plug(s));
    ASSERT_TRUE(devices.back()) << c.what;
  }
  for (size_t i = 0; i < devices.size(); ++i) {
    const Case& c = kCases[i];
    const shelltest::ShellResult r = probe({"1", std::to_string(devices[i]->spec().devnum)});
    EXPECT_EQ(c.status, r.status) << c.what << ": " << r.err;
    const std::string& text = c.status == 0 ? r.out : r.err;
    EXPECT_NE(std::string::npos, text.find(c.says)) << c.what << ": " << text;
    if (c.status != 0) {
      EXPECT_EQ("", r.out) << c.what;
    }
    EXPECT_EQ(c.opens, devices[i]->opens() > 0) << c.what;
    EXPECT_EQ(0, devices[i]->openClients()) << c.what;
  }
}

TEST_F(UdevProbeUsbEmu, RefusesWhatItCannotReach) {
  DeviceSpec s;
  ASSERT_TRUE(bed_.plug(s));
  const struct {
    std::vector<std::string> args;
    const char* says;
  } kRefused[] = {
      {{"1", "9"}, "no USB device 001/009"},
      {{"2", std::to_string(s.devnum)}, "no USB device 002/"},
      {{}, "usage"},
      {{"1"}, "usage"},
      {{"1", "0x2"}, "usage"},
      {{"1", "256"}, "usage"},
  };
  for (const auto& r : kRefused) {
    const shelltest::ShellResult result = probe(r.args);
    EXPECT_EQ(2, result.status) << r.says;
    EXPECT_NE(std::string::npos, result.err.find(r.says)) << result.err;
    EXPECT_EQ("", result.out) << r.says;
  }
}

}  // namespace
