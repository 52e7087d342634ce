// Where an emulated device's outgoing link frames go: the devsim program's
// vbus endpoint, or a test's in-process media.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace devsim {

// A device that runs on its own thread pushes its frames here.
class FrameTransport {
 public:
  // One whole link frame for the host. Called on the device's thread with no
  // device lock held, in the order the frames are to arrive; the bytes are
  // valid during the call only. May block (that paces the device).
  virtual void sendFrame(const uint8_t* frame, size_t length) = 0;

 protected:
  ~FrameTransport() = default;
};

// A device without a thread of its own, run by the thread that carries its
// frames (the vbus transport's I/O thread): no hand-off between the thread
// that reads a request and the one that answers it.
class DrivenLink {
 public:
  // Called by the driving thread after each read and each wake-up: handles
  // the frames received so far and makes the service calls they cause (on
  // this thread, so a reply a service sends from its call is queued at once).
  virtual void drive() = 0;
  // The next frame for the host, in order; false when there is none now.
  // Frames are made only as they are taken, so a driver that stops taking
  // (its host lags) holds the device back.
  virtual bool takeFrame(std::vector<uint8_t>* frame) = 0;

 protected:
  ~DrivenLink() = default;
};

}  // namespace devsim
