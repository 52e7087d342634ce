// An in-process media library that hosts emulated devices, for tests of the
// server side: it implements the media calling convention (the six entry
// points, the rx callback, the tx callback in modes 0/1/2 driven by a
// transmit-request event and an idle period) and carries the frames to and
// from a devsim Device, with faults injected per direction.
//
// Each channel runs one I/O thread ("inproc-media") that makes every
// callback into the server and delivers the host's frames to its device;
// the device's frames come back through FrameTransport on the device's own
// thread and are queued for the I/O thread.
//
// The entry points are plain functions over one process-wide instance: at
// most one InProcessMedia exists at a time. MediaEventCallback runs on the
// thread that calls envCreate or addDevice/removeDevice.
//
// Locks: a channel's callback lock is held around every rx/tx callback (the
// server takes its own locks inside it); the channel's queue lock is a leaf.
// channelConnect/channelDisconnect take the callback lock, so the server must
// not call them from inside a callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devsim/Device.h"
#include "devsim/FaultInjector.h"
#include "plat/threadsafety.h"
#include "usblink/MediaInterface.h"

namespace devsim {

struct MediaChannelOptions {
  uint16_t eventWaitMs = 500;      // reported to the server
  uint16_t closeTimeoutMs = 5000;  // reported to the server
  uint16_t maxFrameLength = 255;   // reported: the longest frame the media carries
  uint32_t idleMs = 500;           // no transfer for this long: one mode 2 call
  size_t transferBytes = 4096;     // frames per transfer: mode 0, then mode 1 until full
  LinkFaults toDevice;
  LinkFaults toHost;
  uint64_t seed = 1;
};

struct MediaChannelStats {
  uint64_t framesToDevice = 0;  // built by the server
  uint64_t framesToHost = 0;    // sent by the device
  uint64_t dropped = 0, duplicated = 0, swapped = 0;
  uint64_t builderCalls[3] = {};  // per mode
  uint64_t transfers = 0;
  uint64_t oversizeFrames = 0;  // built longer than the media's maximum: a server fault
  uint64_t wakeups = 0;         // passes of the I/O loop: a media with nothing to do sleeps
};

class InProcessMedia {
 public:
  InProcessMedia();
  // Stops every channel and device.
  ~InProcessMedia();
  InProcessMedia(const InProcessMedia&) = delete;
  InProcessMedia& operator=(const InProcessMedia&) = delete;

  // Adds an attached device; reported as arrived when the media has been
  // created (envCreate). Returns the channel index (1, 2, ...).
  uint32_t addDevice(const DeviceConfig& config, const MediaChannelOptions& options = {});
  // The device of a channel: register services and turn knobs on it. Valid
  // until the media is destroyed.
  Device& device(uint32_t index);
  // Detaches a device: its channel stops calling back and is reported removed.
  void removeDevice(uint32_t index);
  // Changes the faults of a live channel.
  void setFaults(uint32_t index, const LinkFaults& toDevice, const LinkFaults& toHost);
  MediaChannelStats stats(uint32_t index) const;

  // The entry points of the media library, and the transmit-event setter.
  static void getMediaInfo(char16_t* text, int size);
  static bool getChannelInfo(uint32_t index, MediaChannelInfo* info, int size);
  static void envCreate(MediaEventCallback callback, void* context);
  static void envDestroy();
  static bool channelConnect(uint32_t index, ChannelRxCallback rx, ChannelTxCallback tx,
                             void* context, int* txEvent);
  static bool channelDisconnect(uint32_t index);
  static void setTransmitEvent(int txEvent);

 private:
  class Channel;
  Channel* find(uint32_t index) const REQUIRES(mutex_);
  // The live instance's channel, looked up under its lock; null when either is missing.
  static Channel* findInInstance(uint32_t index);

  mutable plat::Mutex mutex_;  // guards the members below
  std::vector<std::unique_ptr<Channel>> channels_ GUARDED_BY(mutex_);
  MediaEventCallback callback_ GUARDED_BY(mutex_) = nullptr;
  void* callbackContext_ GUARDED_BY(mutex_) = nullptr;
  bool created_ GUARDED_BY(mutex_) = false;
};

}  // namespace devsim
