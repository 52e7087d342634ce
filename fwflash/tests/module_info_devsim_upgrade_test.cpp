// The emulated device's --fw-upgrade: a valid stored package becomes the
// device's firmware identity after the reply, and the device replugs; an
// invalid one is refused and changes nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "FirmwareInstall.h"
#include "PackageWriter.h"

using namespace devsim;

namespace {

struct Channel : ServiceChannel {
  uint8_t channel() const override { return 1; }
  uint8_t protocolId() const override { return 1; }
  bool send(const uint8_t* data, size_t length, bool last) override {
    std::lock_guard<std::mutex> lock(mutex);
    partial.insert(partial.end(), data, data + length);
    if (last) {
      events.push_back("reply " + std::to_string(partial.size() > 1 ? partial[1] : -1));
      partial.clear();
    }
    return true;
  }
  void close() override {}
  bool isOpen() const override { return true; }
  std::mutex mutex;
  std::vector<uint8_t> partial;
  std::vector<std::string> events;  // replies and replugs, in order
};

std::vector<uint8_t> upgradeRequest() {
  const std::string body = std::string("\x0e") + "root" + '\0' + "fw.xpk" + '\0';
  return std::vector<uint8_t>(body.begin(), body.end());
}

}  // namespace

TEST(DevsimFirmwareUpgrade, ValidPackageBecomesTheIdentityThenTheDeviceReplugs) {
  char pattern[] = "/tmp/fwflash-devsim-XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(pattern));
  const std::filesystem::path root = std::filesystem::path(pattern) / "root";
  std::filesystem::create_directories(root);
  auto store = [&](const std::vector<uint8_t>& bytes) {
    std::ofstream(root / "fw.xpk", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  };

  CoreConfig config;
  config.storage["root"] = root;
  config.upgradeFirmware = cli::installPackage;
  auto state = std::make_shared<CoreState>(config);
  auto channel = std::make_shared<Channel>();
  state->setResetHook([channel] {
    std::lock_guard<std::mutex> lock(channel->mutex);
    channel->events.push_back("replug");
  });
  CoreService service(channel, state);
  const std::vector<uint8_t> request = upgradeRequest();

  // Not a package: refused, identity kept, no replug.
  store(fwflash::testing::bytesOf("not a package"));
  service.onData(request.data(), request.size(), true);
  EXPECT_EQ((std::vector<std::string>{"reply 0"}), channel->events);
  EXPECT_EQ("1.8.0", state->config().identity.fwVersionString);

  store(fwflash::testing::simplePackage("9.1.0", "kn-main", "rev-d", "installed"));
  service.onData(request.data(), request.size(), true);
  EXPECT_EQ((std::vector<std::string>{"reply 0", "reply 1", "replug"}), channel->events);
  const CoreIdentity id = state->config().identity;
  EXPECT_EQ("9.1.0", id.fwVersionString);
  EXPECT_EQ("kn-main", id.fwTarget);
  EXPECT_EQ("rev-d", id.fwSubTarget);
  EXPECT_EQ("installed", id.fwVerbose);
  EXPECT_EQ("Emulated device", id.deviceName) << "the rest of the identity stays";
  std::filesystem::remove_all(pattern);
}
