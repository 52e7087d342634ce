// A wake-up event another thread can set and a poll loop can wait on (an
// eventfd). Sets add up until one consume() takes them all.
#pragma once

#include "plat/handle.h"

namespace plat {

class WakeEvent {
 public:
  WakeEvent();
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  // False when the event could not be made (no descriptors left).
  bool valid() const { return handle_ != kInvalidHandle; }
  // Any thread; never blocks.
  void set();
  // Clears the event; true when it had been set since the last consume.
  bool consume();
  // Readable (kPollRead) while set.
  Handle handle() const { return handle_; }

 private:
  Handle handle_;
};

}  // namespace plat
