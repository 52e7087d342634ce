// An emulated device's end of the virtual USB bus: it publishes the device
// as <dir>/<id>.sock, takes the host's connection, answers the link
// descriptor request, hands the frames of every bulk OUT transfer to the
// device and sends the device's frames back as bulk IN transfers
// (usblink/docs/vbus.md).
//
// Frames go both ways as transfer records (a length byte and the frame).
// Outgoing records are packed into bulk IN transfers of at most the transfer
// size; a record may be cut by the end of one transfer and finish in the
// next. A bulk OUT transfer without bytes is a zero-length packet and carries
// nothing.
//
// When the host's connection ends the device stays plugged in and waits for
// the next host; frames sent meanwhile are lost, as on an unplugged cable.
//
// Threads: one I/O thread ("devsim-vbus") does every socket call and calls
// the frame sink and the listener (plugIn and unplug also call the listener,
// on their caller's thread). A device on a thread of its own sends with
// sendFrame, which blocks while a backlog waits for a slow host (that paces
// the device). A driven device (setDriver) runs on the I/O thread instead:
// the thread drives it after every read and every wake-up and takes its
// frames while the backlog is under its limit, so a slow host holds it back
// the same way; its other threads wake the I/O thread with wake(). Every
// public function may be called from any thread except the I/O thread, and
// the sink, the listener and the driver must not call back into the
// transport, except replug() and wake(), which never block, and sendFrame,
// which on the I/O thread queues without waiting (waiting there would wait
// for itself).
// Locks: one transport lock, a leaf; never held while calling out.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devsim/FrameTransport.h"
#include "plat/handle.h"
#include "plat/threadsafety.h"
#include "plat/wake.h"

namespace devsim {

struct VbusOptions {
  std::string dir;  // the bus directory ($USBLINK_VBUS of the host)
  std::string id;   // [A-Za-z0-9_-], 1 to 64 characters
  // The link descriptor's transfer size S: the longest bulk transfer either
  // way. The host's frames are at most min(S, 256) - 1 bytes.
  uint16_t transferSize = 4096;
  // Record bytes waiting for the host past which sendFrame blocks.
  size_t backlogLimit = 64 * 1024;
};

class VbusTransport final : public FrameTransport {
 public:
  enum class Event {
    kPluggedIn,      // the socket file is there
    kHostConnected,  // a host took the device
    kLinkUp,         // the device answered the host's identity request
    kHostGone,       // the host's connection ended
    kUnplugged,      // the socket file is gone (unplug or replug)
  };
  using FrameSink = std::function<void(const uint8_t* frame, size_t length)>;
  using Listener = std::function<void(Event event)>;

  // `sink` takes every frame from the host (Device::receiveFrame).
  VbusTransport(VbusOptions options, FrameSink sink, Listener listener = {});
  // Unplugs.
  ~VbusTransport();
  VbusTransport(const VbusTransport&) = delete;
  VbusTransport& operator=(const VbusTransport&) = delete;

  // Publishes the device and starts the I/O thread. A socket file left by a
  // device that died is replaced; a live one is not. Win32 code: 0; 123 bad
  // id; 206 path too long; 183 a live device has this id; 87 a transfer size
  // below 4; 8 no wake event.
  int plugIn();
  // Stops the I/O thread, drops the host's connection and removes the file.
  // Afterwards frames are dropped and sendFrame never blocks.
  void unplug();
  // Takes the device off the bus and, offMs later, publishes it again (a new
  // file, so the host sees a removal and a new arrival). Never blocks.
  void replug(uint32_t offMs);

  void sendFrame(const uint8_t* frame, size_t length) override;

  // The device the I/O thread runs, instead of one that sends; set before
  // plugIn, and it must outlive the transport's I/O thread.
  void setDriver(DrivenLink* driver) { driver_ = driver; }
  // Makes the I/O thread drive the device soon. Never blocks.
  void wake() { wake_.set(); }

  bool hostConnected() const;

 private:
  void run();
  void accept();
  bool receiveAll();                                         // false: drop the host
  bool handleRecord(const uint8_t* record, size_t length);   // false: drop the host
  bool answerControl(const uint8_t* record, size_t length);  // false: drop the host
  void splitBulkOut(const uint8_t* data, size_t length);
  size_t walkRecords(const uint8_t* data, size_t length);  // bytes of whole records
  void goOffBus(int offMs);
  bool flushOut();  // false: the host is gone
  // Drives the device and sends what it made while the host keeps up;
  // false: the host is gone.
  bool runDevice();
  // Takes the device's frames while the backlog has room; true when it
  // stopped at the limit (the device may have more).
  bool takeFrames();
  void dropDeviceFrames();  // no host to take them
  void dropHost();
  void notify(Event event);
  // Publishes, replacing a dead device's file. Win32 code.
  int publish();

  const VbusOptions options_;
  const FrameSink sink_;
  const Listener onEvent_;
  DrivenLink* driver_ = nullptr;
  plat::WakeEvent wake_;

  mutable plat::Mutex mutex_;
  plat::CondVar drained_;
  std::thread thread_;
  bool running_ GUARDED_BY(mutex_) = false;  // the I/O thread runs
  bool stopping_ GUARDED_BY(mutex_) = false;
  bool connected_ GUARDED_BY(mutex_) = false;
  std::vector<uint8_t> pending_ GUARDED_BY(mutex_);  // records for the host
  int replugMs_ GUARDED_BY(mutex_) = -1;             // a replug was asked for
  bool linkUpDue_ GUARDED_BY(mutex_) = false;        // an identity answer went out

  // I/O thread only (and plugIn/unplug while it does not run).
  plat::Handle listenSocket_ = plat::kInvalidHandle;  // invalid while off the bus
  plat::Handle connection_ = plat::kInvalidHandle;
  std::vector<uint8_t> receive_;  // one record from the host
  std::vector<uint8_t> carry_;    // a host record cut by its transfer's end
  std::vector<uint8_t> sending_;  // records taken from pending_ or the driven device
  std::vector<uint8_t> frame_;    // one frame taken from the driven device
  size_t sendingOffset_ = 0;
  std::vector<uint8_t> bulkIn_;  // one bulk IN record being sent
  bool bulkInWaiting_ = false;   // bulkIn_ waits for room in the socket
};

}  // namespace devsim
