// Waiting on several handles at once.
#pragma once

#include <cstddef>

#include "plat/handle.h"

namespace plat {

inline constexpr unsigned kPollRead = 1;    // a read would not block (data, or the peer's close)
inline constexpr unsigned kPollWrite = 2;   // a write would not block
inline constexpr unsigned kPollHangup = 4;  // the peer closed; always reported
inline constexpr unsigned kPollError = 8;   // an error is pending; always reported

struct PollItem {
  Handle handle = kInvalidHandle;  // kInvalidHandle: the item is skipped
  unsigned wanted = 0;             // kPollRead | kPollWrite
  unsigned ready = 0;              // set by pollHandles
};

// Waits until at least one item is ready or timeoutMs milliseconds have
// passed (-1: no limit, 0: look only). Returns how many items are ready (0 on
// time-out), or -1 on failure (lastSystemError()). Interruptions by signals
// are retried with the time left.
int pollHandles(PollItem* items, size_t count, int timeoutMs);

}  // namespace plat
