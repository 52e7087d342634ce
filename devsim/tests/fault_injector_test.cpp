// The fault injector: seeded, and never reorders further than one frame.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "devsim/FaultInjector.h"

namespace devsim {
namespace {

std::vector<uint32_t> run(uint64_t seed, const LinkFaults& faults, uint32_t frames,
                          FaultCounts* counts = nullptr) {
  FaultInjector injector(seed);
  injector.setFaults(faults);
  std::deque<FaultInjector::TimedFrame> out;
  const auto now = FaultInjector::Clock::now();
  for (uint32_t i = 0; i < frames; ++i) {
    std::vector<uint8_t> f(4);
    for (int b = 0; b < 4; ++b) f[b] = uint8_t(i >> (8 * b));
    injector.pass(std::move(f), now, out);
  }
  injector.tick(now + std::chrono::hours(1), out);
  std::vector<uint32_t> ids;
  for (const auto& f : out)
    ids.push_back(f.bytes[0] | f.bytes[1] << 8 | f.bytes[2] << 16 | f.bytes[3] << 24);
  if (counts) *counts = injector.counts();
  return ids;
}

TEST(FaultInjector, SameSeedSameFaults) {
  const LinkFaults faults{0.05, 0.05, 0.05, 0, 5};
  EXPECT_EQ(run(7, faults, 5000), run(7, faults, 5000));
  EXPECT_NE(run(7, faults, 5000), run(8, faults, 5000));
}

TEST(FaultInjector, EveryFrameArrivesOnceOrTwiceOrNotAtAllAndIsOvertakenByAtMostOne) {
  const LinkFaults faults{0.1, 0.1, 0.2, 0, 5};
  FaultCounts counts;
  const std::vector<uint32_t> ids = run(3, faults, 20000, &counts);
  std::map<uint32_t, int> seen;
  for (uint32_t id : ids) ++seen[id];
  uint64_t dropped = 0, doubled = 0;
  for (uint32_t i = 0; i < 20000; ++i) {
    if (seen[i] == 0) ++dropped;
    if (seen[i] == 2) ++doubled;
    EXPECT_LE(seen[i], 2);
  }
  EXPECT_EQ(dropped, counts.dropped);
  EXPECT_EQ(doubled, counts.duplicated);
  EXPECT_GT(counts.swapped, 0u);
  // A frame is passed by at most one newer frame (and that frame's copy).
  std::set<uint32_t> arrived;
  for (uint32_t id : ids) {
    if (!arrived.insert(id).second) continue;
    EXPECT_LE(std::distance(arrived.upper_bound(id), arrived.end()), 1) << "frame " << id;
  }
}

TEST(FaultInjector, DelayKeepsOrder) {
  FaultInjector injector(1);
  injector.setFaults(LinkFaults{0, 0, 0, 20, 5});
  std::deque<FaultInjector::TimedFrame> out;
  const auto t0 = FaultInjector::Clock::now();
  injector.pass({1}, t0 + std::chrono::milliseconds(5), out);
  injector.pass({2}, t0, out);  // earlier clock reading: still after frame 1
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].due, t0 + std::chrono::milliseconds(25));
  EXPECT_GE(out[1].due, out[0].due);
}

}  // namespace
}  // namespace devsim
