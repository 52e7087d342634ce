// The device end of the link protocol, independent of how frames travel.
//
// A host of the device (the devsim program over the vbus, or a test's
// in-process media) feeds every received link frame to receiveFrame() and
// gets the device's frames through its FrameTransport. The device answers
// the handshake (0x8F/0xAF/0xA7) from its configuration, numbers and
// acknowledges I frames (with its own ready S frame once three wait and no
// I frame goes), goes back to N(R) on a reject and on a poll that shows no
// progress since the one before, answers every poll, opens channels by
// protocol id, closes both ways, reports busy, and hands each channel's data
// to the registered service.
//
// Threads, in one of two modes:
// - start(): the device's own thread ("devsim") does all protocol work,
//   calls FrameTransport::sendFrame and every Service call.
// - startDriven(wake): no thread of its own. The thread that carries the
//   frames calls drive() and takeFrame() (DrivenLink), which do the protocol
//   work and the Service calls on that thread; frames go out through
//   takeFrame, never through the FrameTransport. When work turns up on any
//   other thread (a service's thread sends, a knob turns, a frame is fed in)
//   the device calls `wake` once, until the next drive().
// Every other public function may be called from any thread.
// Locks: one device lock; it is never held while calling the transport or a
// service, so both may call back into the device. `wake` is called with it
// held: it may only signal the driving thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "devsim/FrameTransport.h"
#include "devsim/Service.h"
#include "translayer/HwId.h"

namespace devsim {

struct DeviceConfig {
  translayer::HwId hwid{};
  // Announced in the parameter reply (10 bits) and the longest frame the
  // device sends.
  uint16_t maxFrameLength = 255;
  // Announced in the parameter reply, 0-15.
  uint8_t channelCount = 15;
  // Data held back for stalled services past which the device reports busy.
  size_t stallBusyBytes = 64 * 1024;
};

struct DeviceStats {
  uint64_t framesIn = 0;
  uint64_t framesOut = 0;
  uint64_t dataFramesIn = 0;   // in-sequence I frames taken
  uint64_t dataFramesOut = 0;  // I frames sent, first time or again
  uint64_t resent = 0;         // I frames sent again
  uint64_t solicitations = 0;  // acknowledged frames repeated to get an acknowledgement
  uint64_t rejectsSent = 0;
  uint64_t readySent = 0;   // ready S frames sent unasked, to acknowledge
  uint64_t duplicates = 0;  // I frames taken before, dropped without a reject
  uint64_t pollsAnswered = 0;
  uint64_t busyRefused = 0;  // in-sequence I frames refused while busy
  uint64_t linkResets = 0;   // 0x8F received
  uint64_t staleAcks = 0;    // N(R)s older than the acknowledged ones
  uint64_t badAcks = 0;      // N(R)s acknowledging frames never sent
  uint64_t channelsOpened = 0;
  uint64_t channelsRefused = 0;  // opened for a protocol id without a service
};

class Device final : public DrivenLink {
 public:
  Device(const DeviceConfig& config, FrameTransport* transport);
  // Stops the device; open services get onClosed.
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Any time; a later registration for the same id replaces the earlier one
  // for channels opened afterwards.
  void registerService(uint8_t protocolId, ServiceFactory factory);

  void start();
  // The driven mode (see above); `wake` must not call into the device.
  void startDriven(std::function<void()> wake);
  // Open services get onClosed: on the device's thread, or in the driven
  // mode on the caller's, so the driving thread must have stopped calling.
  void stop();

  // One whole frame from the host; queued for the device's thread, or for
  // the next drive().
  void receiveFrame(const uint8_t* frame, size_t length);

  // The driven mode's side (DrivenLink); they do nothing in the other.
  void drive() override;
  bool takeFrame(std::vector<uint8_t>* frame) override;

  // Fault knobs.
  // While busy the device refuses I frames and says so (busy S frame).
  void setBusy(bool busy);
  // A stalled service gets no data; what arrives is held (and past
  // stallBusyBytes the device turns busy) until the stall ends.
  void stallService(uint8_t protocolId, bool stalled);
  // Closes a channel from the device's side, as a service could.
  void closeChannel(uint8_t channel);
  // Sends one byte of data on a channel whether or not it is open, as broken
  // firmware might; a host that does not have the channel open resets the
  // link.
  void sendStrayData(uint8_t channel);
  // Sends a whole message on a channel whether or not the device has it
  // open, as firmware would that still holds the channel from before while
  // the host has given its number to a new client.
  void sendOnChannel(uint8_t channel, const std::vector<uint8_t>& message);

  DeviceStats stats() const;
  // Protocol id of an open channel, or -1.
  int channelProtocol(uint8_t channel) const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace devsim
