// Another process's processor time, as benchmarks read a server's cost.
#include "plat/process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <vector>

namespace {

TEST(ProcessCpuTest, OwnTimeGrowsWithWork) {
  ASSERT_EQ(plat::currentProcessId(), int(::getpid()));
  double before = -1;
  ASSERT_EQ(plat::processCpuSeconds(plat::currentProcessId(), &before), 0);
  EXPECT_GE(before, 0.0);
  // Busy for at least a quarter second of processor time: far above the
  // clock tick, whatever the machine's speed or load.
  volatile uint64_t sink = 0;
  double after = before;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (after - before < 0.25 && std::chrono::steady_clock::now() < giveUp) {
    for (int i = 0; i < 10000000; ++i) sink = sink + uint64_t(i);
    ASSERT_EQ(plat::processCpuSeconds(int(::getpid()), &after), 0);
  }
  EXPECT_GE(after - before, 0.25);
}

TEST(ProcessCpuTest, RefusesWhatIsNoProcess) {
  double seconds = 7;
  EXPECT_EQ(plat::processCpuSeconds(0, &seconds), 87);
  EXPECT_EQ(seconds, 0.0);
  EXPECT_EQ(plat::processCpuSeconds(-5, &seconds), 87);
  // Above the kernel's largest pid.
  EXPECT_EQ(plat::processCpuSeconds(1 << 23, &seconds), 2);
}

TEST(ProcessMemoryTest, ResidentBytesFollowWhatTheProcessTouches) {
  unsigned long long before = 0, after = 0;
  ASSERT_EQ(plat::processResidentBytes(plat::currentProcessId(), &before), 0);
  EXPECT_GT(before, 0u);
  std::vector<char> block(64u << 20);
  for (size_t i = 0; i < block.size(); i += 4096) block[i] = char(i);
  ASSERT_EQ(plat::processResidentBytes(plat::currentProcessId(), &after), 0);
  EXPECT_GE(after, before + (48u << 20)) << "64 MiB touched";
  EXPECT_EQ(block[8192], char(8192));
  EXPECT_EQ(plat::processResidentBytes(0, &after), 87);
  EXPECT_EQ(plat::processResidentBytes(1 << 23, &after), 2);
}

}  // namespace
