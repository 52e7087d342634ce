// Another process's processor time, as benchmarks read a server's cost.
#include "plat/process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

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

}  // namespace
