// The libusb backend where there is no USB to speak of (as in CI): a failing
// libusb_init, no hotplug, or simply no devices all mean zero devices, and the
// media still starts and stops cleanly. Also the choice of backend and the
// VID:PID list from the registry file.
#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>

#include <filesystem>
#include <fstream>

#include "DeviceIds.h"
#include "FakeServer.h"
#include "LibusbBus.h"
#include "MediaLibrary.h"
#include "VbusBus.h"
#include "plat/runtime.h"

namespace usblink {
namespace {

using test::FakeServer;

int failingInit(libusb_context** context) {
  *context = nullptr;
  return LIBUSB_ERROR_OTHER;
}

struct Case {
  const char* name;
  LibusbOptions options;
};

class LibusbWithoutDevices : public ::testing::TestWithParam<Case> {};

TEST_P(LibusbWithoutDevices, StartsReadyWithNoDevicesAndStopsCleanly) {
  const Case& c = GetParam();
  LibusbBus* bus = nullptr;
  MediaLibrary library([&] {
    auto b = std::make_unique<LibusbBus>(c.options);
    bus = b.get();
    return b;
  });
  for (int round = 0; round < 3; ++round) {  // a later EnvCreate starts afresh
    FakeServer server;
    library.envCreate(&FakeServer::onEvent, &server);
    ASSERT_NE(bus, nullptr);
    if (c.options.init == &failingInit) {
      EXPECT_FALSE(bus->usable());
    }
    if (!c.options.useHotplug) {
      EXPECT_FALSE(bus->hotplug());
    }
    if (c.options.useHotplug && bus->usable()) {
      EXPECT_EQ(bus->hotplug(), libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0);
    }
    EXPECT_TRUE(bus->open("USB\\VID_1234&PID_5678\\1-1", nullptr) == nullptr);
    MediaChannelInfo info{};
    EXPECT_FALSE(library.getChannelInfo(1, &info, sizeof info));
    library.envDestroy();
    bus = nullptr;
    EXPECT_TRUE(server.events().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ways, LibusbWithoutDevices,
    ::testing::Values(Case{"InitFails", LibusbOptions{{}, true, 1000, &failingInit}},
                      Case{"NoHotplug", LibusbOptions{{{0x1234, 0x5678}}, false, 20, nullptr}},
                      Case{"Default", LibusbOptions{}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LibusbWithoutDevicesStop, StopWithoutStartAndTwiceIsHarmless) {
  LibusbBus bus(LibusbOptions{});
  bus.stop();
  EXPECT_TRUE(bus.presentDevices().empty());
  bus.stop();
}

class Environment : public ::testing::Test {
 protected:
  Environment() : dir_(plat::makeTempDir("usblink-env-")) {}
  ~Environment() override {
    plat::setEnvironment("USBLINK_VBUS", "");
    plat::setEnvironment("LINKHUB_REGISTRY", "");
    plat::setEnvironment("USBLINK_LIBUSB_POLL", "");
    std::filesystem::remove_all(dir_);
  }
  std::string dir_;
};

TEST_F(Environment, TheVirtualBusIsChosenWhenItsVariableNamesADirectory) {
  plat::setEnvironment("USBLINK_VBUS", dir_);
  EXPECT_NE(dynamic_cast<VbusBus*>(makeDefaultBus().get()), nullptr);
  plat::setEnvironment("USBLINK_VBUS", dir_ + "/missing");
  EXPECT_NE(dynamic_cast<LibusbBus*>(makeDefaultBus().get()), nullptr);
  plat::setEnvironment("USBLINK_VBUS", "");
  EXPECT_NE(dynamic_cast<LibusbBus*>(makeDefaultBus().get()), nullptr);
}

struct IgnoringListener : BusListener {
  void deviceArrived(const std::string&) override {}
  void deviceRemoved(const std::string&) override {}
};

TEST_F(Environment, ThePollingSettingReplacesHotplugWithScans) {
  const bool canHotplug = libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
  const struct {
    const char* value;
    bool polls;
  } cases[] = {{"1", true}, {"", false}, {"0", false}, {"yes", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    plat::setEnvironment("USBLINK_LIBUSB_POLL", c.value);
    std::unique_ptr<UsbBus> made = makeDefaultBus();
    auto* bus = dynamic_cast<LibusbBus*>(made.get());
    ASSERT_NE(bus, nullptr);
    EXPECT_EQ(!c.polls, bus->options().useHotplug);
    IgnoringListener listener;
    bus->start(&listener);
    if (bus->usable()) {
      EXPECT_EQ(!c.polls && canHotplug, bus->hotplug());
    }
    bus->stop();
  }
}

TEST_F(Environment, DeviceIdsComeFromTheRegistryFile) {
  const std::string file = dir_ + "/registry.reg";
  std::ofstream(file) << "Windows Registry Editor Version 5.00\n\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\linkhub\\Media]\n"
                         "\"usblink\"=\"/nowhere/libusblink.so\"\n\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\usblink\\Devices]\n"
                         "\"Logger\"=\"1d50:60A1\"\n"
                         "\"Broken\"=\"not an id\"\n"
                         "\"Count\"=dword:00000002\n"
                         "\"Scope\"=\"0483:5740\"\n";
  plat::setEnvironment("LINKHUB_REGISTRY", file);
  EXPECT_EQ(loadDeviceIds(), (std::vector<UsbId>{{0x1D50, 0x60A1}, {0x0483, 0x5740}}));
  plat::setEnvironment("LINKHUB_REGISTRY", dir_ + "/missing.reg");
  EXPECT_TRUE(loadDeviceIds().empty());
}

}  // namespace
}  // namespace usblink
