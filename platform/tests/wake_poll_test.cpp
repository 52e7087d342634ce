#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "plat/msgpipe.h"
#include "plat/poll.h"
#include "plat/wake.h"

using plat::PollItem;
using Clock = std::chrono::steady_clock;

namespace {

TEST(WakeEventTest, SetsAddUpUntilOneConsume) {
  plat::WakeEvent wake;
  ASSERT_TRUE(wake.valid());
  EXPECT_FALSE(wake.consume());
  wake.set();
  wake.set();
  wake.set();
  EXPECT_TRUE(wake.consume());
  EXPECT_FALSE(wake.consume());
}

TEST(WakeEventTest, PollSeesItOnlyWhileSet) {
  plat::WakeEvent wake;
  PollItem item{wake.handle(), plat::kPollRead, 0};
  EXPECT_EQ(plat::pollHandles(&item, 1, 0), 0);
  wake.set();
  ASSERT_EQ(plat::pollHandles(&item, 1, 0), 1);
  EXPECT_EQ(item.ready, plat::kPollRead);
  wake.consume();
  EXPECT_EQ(plat::pollHandles(&item, 1, 0), 0);
}

TEST(WakeEventTest, SetFromAnotherThreadEndsAnUnlimitedWait) {
  plat::WakeEvent wake;
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    wake.set();
  });
  PollItem item{wake.handle(), plat::kPollRead, 0};
  EXPECT_EQ(plat::pollHandles(&item, 1, -1), 1);
  setter.join();
  EXPECT_TRUE(wake.consume());
}

TEST(PollTest, TimesOutAfterAtLeastTheTimeGiven) {
  plat::WakeEvent wake;
  PollItem item{wake.handle(), plat::kPollRead, 0};
  auto start = Clock::now();
  EXPECT_EQ(plat::pollHandles(&item, 1, 100), 0);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(95));
  EXPECT_EQ(item.ready, 0u);
}

TEST(PollTest, ReportsEachItemApartAndSkipsInvalidOnes) {
  plat::Handle a, b;
  ASSERT_EQ(plat::pipePair(&a, &b), 0);
  plat::WakeEvent wake;
  // Many items take the wrapper's other storage path.
  std::vector<PollItem> items(6);
  items[0] = {a, plat::kPollRead | plat::kPollWrite, 0};
  items[1] = {b, plat::kPollRead, 0};
  items[2] = {wake.handle(), plat::kPollRead, 0};
  items[3] = {plat::kInvalidHandle, plat::kPollRead, 0};
  uint8_t byte = 1;
  size_t n;
  ASSERT_EQ(plat::pipeWrite(a, &byte, 1, &n), plat::PipeIo::kDone);
  ASSERT_EQ(plat::pollHandles(items.data(), items.size(), 1000), 2);
  EXPECT_EQ(items[0].ready, plat::kPollWrite);
  EXPECT_EQ(items[1].ready, plat::kPollRead);
  EXPECT_EQ(items[2].ready, 0u);
  EXPECT_EQ(items[3].ready, 0u);
  plat::closeHandle(a);
  plat::closeHandle(b);
}

TEST(PollTest, WriteReadinessFollowsTheBuffer) {
  plat::Handle a, b;
  ASSERT_EQ(plat::pipePair(&a, &b), 0);
  std::vector<uint8_t> record(1025, 0x5a);
  size_t n, sent = 0;
  while (plat::pipeWrite(a, record.data(), record.size(), &n) == plat::PipeIo::kDone) ++sent;
  ASSERT_GT(sent, 0u);
  PollItem item{a, plat::kPollWrite, 0};
  EXPECT_EQ(plat::pollHandles(&item, 1, 0), 0) << "full after " << sent << " records";
  for (size_t i = 0; i < sent; ++i)
    ASSERT_EQ(plat::pipeRead(b, record.data(), record.size(), &n), plat::PipeIo::kDone);
  ASSERT_EQ(plat::pollHandles(&item, 1, 1000), 1);
  EXPECT_EQ(item.ready, plat::kPollWrite);
  plat::closeHandle(b);
  item = {a, plat::kPollRead, 0};
  ASSERT_EQ(plat::pollHandles(&item, 1, 1000), 1);
  EXPECT_TRUE(item.ready & plat::kPollHangup);
  plat::closeHandle(a);
}

}  // namespace
