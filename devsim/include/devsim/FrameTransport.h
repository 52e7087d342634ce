// Where an emulated device's outgoing link frames go: the devsim program's
// vbus endpoint, or a test's in-process media.
#pragma once

#include <cstddef>
#include <cstdint>

namespace devsim {

class FrameTransport {
 public:
  // One whole link frame for the host. Called on the device's thread with no
  // device lock held, in the order the frames are to arrive; the bytes are
  // valid during the call only. May block (that paces the device).
  virtual void sendFrame(const uint8_t* frame, size_t length) = 0;

 protected:
  ~FrameTransport() = default;
};

}  // namespace devsim
