// The socket calls of the virtual USB bus, both ends.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "plat/runtime.h"
#include "plat/txevent.h"
#include "plat/vbus.h"
#include "plat/wake.h"

namespace fs = std::filesystem;
using plat::VbusIo;

namespace {

class VbusSocket : public ::testing::Test {
 protected:
  VbusSocket() : dir_(plat::makeTempDir("vbus-sock-")) {}
  ~VbusSocket() override {
    plat::closeHandle(device_);
    plat::closeHandle(host_);
    plat::closeHandle(listener_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  // Publishes `id`, connects the host and accepts it.
  void plugIn(const std::string& id) {
    ASSERT_EQ(plat::vbusPublish(dir_, id, &listener_), 0);
    ASSERT_EQ(plat::vbusConnect(dir_ + "/" + id + ".sock", 1000, &host_), 0);
    ASSERT_EQ(plat::vbusAccept(listener_, &device_, 5000), 0);
  }

  std::string dir_;
  plat::Handle listener_ = plat::kInvalidHandle;
  plat::Handle host_ = plat::kInvalidHandle;
  plat::Handle device_ = plat::kInvalidHandle;
};

TEST(VbusIds, LettersDigitsUnderscoreAndDash) {
  for (const char* ok : {"a", "Dev_1", "x-y-z", "ABC123"}) EXPECT_TRUE(plat::vbusValidId(ok)) << ok;
  for (const char* bad : {"", ".", "..", "a.b", "a/b", "a b", "dev\\1", "d\xC3\xA9v"})
    EXPECT_FALSE(plat::vbusValidId(bad)) << bad;
  EXPECT_TRUE(plat::vbusValidId(std::string(64, 'a')));
  EXPECT_FALSE(plat::vbusValidId(std::string(65, 'a')));
}

TEST_F(VbusSocket, PublishShowsOnlyTheFinishedSocket) {
  ASSERT_FALSE(dir_.empty());
  ASSERT_EQ(plat::vbusPublish(dir_, "dev1", &listener_), 0);
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"dev1.sock"});
  plat::Handle second = plat::kInvalidHandle;
  EXPECT_EQ(plat::vbusPublish(dir_, "dev1", &second), 183);
  EXPECT_EQ(plat::vbusPublish(dir_, "bad.id", &second), 123);
  EXPECT_EQ(plat::vbusPublish(dir_ + "/" + std::string(120, 'd'), "x", &second), 206);
  EXPECT_EQ(second, plat::kInvalidHandle);
  plat::vbusUnpublish(dir_, "dev1", listener_);
  listener_ = plat::kInvalidHandle;
  EXPECT_FALSE(fs::exists(dir_ + "/dev1.sock"));
}

TEST_F(VbusSocket, RecordsKeepTheirBoundariesBothWays) {
  plugIn("dev");
  const std::vector<uint8_t> a = {0x02, 1, 2, 3}, b = {0x02};
  ASSERT_EQ(plat::vbusSend(host_, a.data(), a.size(), 1000), VbusIo::kDone);
  ASSERT_EQ(plat::vbusSend(host_, b.data(), b.size(), 1000), VbusIo::kDone);
  std::vector<uint8_t> buffer(16);
  size_t n = 0;
  ASSERT_EQ(plat::vbusReceive(device_, buffer.data(), buffer.size(), &n, 1000), VbusIo::kDone);
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + long(n)), a);
  ASSERT_EQ(plat::vbusReceive(device_, buffer.data(), buffer.size(), &n, 1000), VbusIo::kDone);
  EXPECT_EQ(n, 1u);
  const std::vector<uint8_t> answer = {0x81, 0, 6, 0x80};
  ASSERT_EQ(plat::vbusSend(device_, answer.data(), answer.size(), 1000), VbusIo::kDone);
  ASSERT_EQ(plat::vbusReceive(host_, buffer.data(), buffer.size(), &n, 1000), VbusIo::kDone);
  EXPECT_EQ(n, answer.size());
}

TEST_F(VbusSocket, TooLongTimeOutAndClose) {
  plugIn("dev");
  std::vector<uint8_t> big(100, 3), buffer(10);
  size_t n = 99;
  EXPECT_EQ(plat::vbusReceive(host_, buffer.data(), buffer.size(), &n, 0), VbusIo::kTimeout);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(plat::vbusReceive(host_, buffer.data(), buffer.size(), &n, 100), VbusIo::kTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(95));
  ASSERT_EQ(plat::vbusSend(device_, big.data(), big.size(), 1000), VbusIo::kDone);
  EXPECT_EQ(plat::vbusReceive(host_, buffer.data(), buffer.size(), &n, 1000), VbusIo::kTooLong);
  EXPECT_EQ(plat::vbusSend(host_, big.data(), 0, 0), VbusIo::kError);  // no empty records
  plat::closeHandle(device_);
  device_ = plat::kInvalidHandle;
  EXPECT_EQ(plat::vbusReceive(host_, buffer.data(), buffer.size(), &n, 1000), VbusIo::kClosed);
  EXPECT_EQ(plat::vbusSend(host_, big.data(), 1, 1000), VbusIo::kClosed);
}

TEST_F(VbusSocket, BatchesTakeWhatIsThereAndPartsGoAsOneRecord) {
  plugIn("dev");
  std::vector<uint8_t> buffers[4];
  plat::VbusRecord records[4];
  for (size_t i = 0; i < 4; ++i) {
    buffers[i].assign(8, 0);
    records[i] = {buffers[i].data(), buffers[i].size(), 0};
  }
  size_t done = 9;
  EXPECT_EQ(plat::vbusReceiveMany(host_, records, 4, &done), VbusIo::kTimeout);
  EXPECT_EQ(done, 0u);
  // A head and a body make one record; an empty body leaves the head alone.
  const uint8_t head = 0x03;
  const std::vector<uint8_t> body = {1, 2, 3}, longer(20, 7);
  ASSERT_EQ(plat::vbusSendParts(device_, &head, 1, body.data(), body.size(), 1000), VbusIo::kDone);
  ASSERT_EQ(plat::vbusSendParts(device_, &head, 1, nullptr, 0, 1000), VbusIo::kDone);
  ASSERT_EQ(plat::vbusSend(device_, longer.data(), longer.size(), 1000), VbusIo::kDone);
  ASSERT_EQ(plat::vbusReceiveMany(host_, records, 4, &done), VbusIo::kDone);
  ASSERT_EQ(done, 3u);
  EXPECT_EQ(records[0].length, 4u);
  EXPECT_EQ(std::vector<uint8_t>(buffers[0].begin(), buffers[0].begin() + 4),
            (std::vector<uint8_t>{0x03, 1, 2, 3}));
  EXPECT_EQ(records[1].length, 1u);
  EXPECT_EQ(buffers[1][0], 0x03);
  // A record cut to its buffer tells its whole length.
  EXPECT_EQ(records[2].length, 20u);
  EXPECT_EQ(buffers[2], std::vector<uint8_t>(8, 7));
  EXPECT_EQ(plat::vbusSendParts(device_, &head, 0, nullptr, 0, 0), VbusIo::kError);
  // Records still there come before the close.
  ASSERT_EQ(plat::vbusSend(device_, body.data(), body.size(), 1000), VbusIo::kDone);
  plat::closeHandle(device_);
  device_ = plat::kInvalidHandle;
  ASSERT_EQ(plat::vbusReceiveMany(host_, records, 4, &done), VbusIo::kDone);
  EXPECT_EQ(done, 1u);
  EXPECT_EQ(plat::vbusReceiveMany(host_, records, 4, &done), VbusIo::kClosed);
  EXPECT_EQ(done, 0u);
}

TEST_F(VbusSocket, ConnectWaitsForADeviceThatIsAboutToListen) {
  std::thread device([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(plat::vbusPublish(dir_, "late", &listener_), 0);
  });
  EXPECT_EQ(plat::vbusConnect(dir_ + "/late.sock", 5000, &host_), 0);
  device.join();
  EXPECT_EQ(plat::vbusConnect(dir_ + "/nobody.sock", 100, &device_), 2);
  EXPECT_EQ(device_, plat::kInvalidHandle);
}

TEST_F(VbusSocket, AcceptTimesOut) {
  ASSERT_EQ(plat::vbusPublish(dir_, "dev", &listener_), 0);
  EXPECT_EQ(plat::vbusAccept(listener_, &device_, 50), 258);
}

TEST(TransmitEvent, SetsAnEventMadeElsewhere) {
  plat::WakeEvent wake;
  EXPECT_TRUE(plat::setTransmitEvent(wake.handle()));
  EXPECT_TRUE(plat::setTransmitEvent(wake.handle()));
  EXPECT_TRUE(wake.consume());
  EXPECT_FALSE(wake.consume());
  EXPECT_FALSE(plat::setTransmitEvent(plat::kInvalidHandle));
}

}  // namespace
