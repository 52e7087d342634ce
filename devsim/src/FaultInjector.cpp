#include "devsim/FaultInjector.h"

#include <algorithm>

namespace devsim {

void FaultInjector::pass(std::vector<uint8_t> frame, Clock::time_point now,
                         std::deque<TimedFrame>& out) {
  const double r = uniform_(rng_);
  const double drop = faults_.drop;
  const double dup = drop + faults_.duplicate;
  const double swap = dup + faults_.swap;
  if (r < drop) {
    ++counts_.dropped;
    return;
  }
  if (r < dup) {
    ++counts_.duplicated;
    emit(frame, now, out);
    releaseHeld(now, out);
    emit(std::move(frame), now, out);
    return;
  }
  if (r < swap && !held_) {
    ++counts_.swapped;
    held_ = std::move(frame);
    heldSince_ = now;
    return;
  }
  emit(std::move(frame), now, out);
  releaseHeld(now, out);
}

void FaultInjector::tick(Clock::time_point now, std::deque<TimedFrame>& out) {
  if (held_ && now - heldSince_ >= std::chrono::milliseconds(faults_.holdMs)) releaseHeld(now, out);
}

std::optional<FaultInjector::Clock::time_point> FaultInjector::holdDeadline() const {
  if (!held_) return std::nullopt;
  return heldSince_ + std::chrono::milliseconds(faults_.holdMs);
}

void FaultInjector::emit(std::vector<uint8_t> frame, Clock::time_point now,
                         std::deque<TimedFrame>& out) {
  const Clock::time_point due =
      std::max(now + std::chrono::milliseconds(faults_.delayMs), lastDue_);
  lastDue_ = due;
  out.push_back(TimedFrame{due, std::move(frame)});
}

void FaultInjector::releaseHeld(Clock::time_point now, std::deque<TimedFrame>& out) {
  if (!held_) return;
  emit(std::move(*held_), now, out);
  held_.reset();
}

}  // namespace devsim
