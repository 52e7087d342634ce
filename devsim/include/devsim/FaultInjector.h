// Faults of one direction of a frame link, for tests and for the emulator's
// fault knobs: drops, immediate duplicates, swaps of adjacent frames and a
// fixed delay, decided frame by frame from a seeded generator.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <vector>

namespace devsim {

// Each frame is dropped, duplicated at once, or swapped with the next frame,
// each with its probability (at most one of the three per frame); a held
// frame is released right after the next frame (or after holdMs with no next
// frame), so a frame is never overtaken by more than one other. Every frame
// then travels delayMs, order kept.
struct LinkFaults {
  double drop = 0;
  double duplicate = 0;
  double swap = 0;
  uint32_t delayMs = 0;
  uint32_t holdMs = 5;
};

struct FaultCounts {
  uint64_t dropped = 0;
  uint64_t duplicated = 0;
  uint64_t swapped = 0;
};

// Not thread-safe: its owner serialises the calls.
class FaultInjector {
 public:
  using Clock = std::chrono::steady_clock;
  struct TimedFrame {
    Clock::time_point due;  // deliver at or after this
    std::vector<uint8_t> bytes;
  };

  explicit FaultInjector(uint64_t seed) : rng_(seed) {}
  void setFaults(const LinkFaults& faults) { faults_ = faults; }

  // Passes one frame; what is to be delivered goes to `out` in order.
  void pass(std::vector<uint8_t> frame, Clock::time_point now, std::deque<TimedFrame>& out);
  // Lets a held frame go alone once its hold has run out.
  void tick(Clock::time_point now, std::deque<TimedFrame>& out);
  // When tick() has something to release, if a frame is held.
  std::optional<Clock::time_point> holdDeadline() const;
  const FaultCounts& counts() const { return counts_; }

 private:
  void emit(std::vector<uint8_t> frame, Clock::time_point now, std::deque<TimedFrame>& out);
  void releaseHeld(Clock::time_point now, std::deque<TimedFrame>& out);

  LinkFaults faults_;
  std::mt19937_64 rng_;
  std::uniform_real_distribution<double> uniform_{0.0, 1.0};
  std::optional<std::vector<uint8_t>> held_;
  Clock::time_point heldSince_{};
  Clock::time_point lastDue_{};
  FaultCounts counts_;
};

}  // namespace devsim
