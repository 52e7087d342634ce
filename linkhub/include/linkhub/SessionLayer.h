// The link protocol over one media channel (one attached device): a reliable,
// ordered, acknowledged stream of frames carrying up to 16 logical channels.
//
// Wire form, byte 0 of every frame:
//   I frame  x0: bits 1-3 N(S), bit 4 P/F, bits 5-7 N(R); byte 1 channel byte
//                (bits 0-3 channel, bit 4 last fragment, bit 5 protocol id
//                follows), optional byte 2 protocol id, then data.
//   S frame  01: bits 2-3 type (0 ready, 1 reject, 2 busy), bit 4 P/F,
//                bits 5-7 N(R); exactly one byte.
//   U frame  11: the whole byte is the code (bit 4 ignored on receipt):
//                0x8F/0x63 reset, 0xAF/0xCF parameters, 0xA7/0xC7 identity.
// Sequence numbers are modulo 8 with a window of at most seven frames.
//
// Threads:
// - the layer's own thread ("SessionLayer") runs the handshake from the link
//   event queue, reports the identity, and asks for a transfer when an
//   acknowledgement has waited too long or a poll of a full window went
//   unanswered;
// - the media's I/O thread runs receiveFrame and buildFrame;
// - any thread may call openChannel, closeChannel, send, requestStop, stop.
//
// Locks, in the order they may be taken:
//   media callback lock (held by the media around both callbacks)
//     -> linkMutex_ (every protocol field)
//       -> the event queue's own lock, the transmit-event setter, and the
//          locks of SessionLayerEvents::onData / onChannelClosed.
// SessionLayerEvents::onDeviceIdentified is called with no layer lock held,
// so an owner may hold its own lock around openChannel and take the same lock
// in onDeviceIdentified. The layer never calls ChannelConnect or
// ChannelDisconnect with linkMutex_ held.
// Frame-by-frame traces of the handshake, go-back-N and close: docs/link.md.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "linkhub/MediaLibrary.h"
#include "linkhub/SessionLayerEvents.h"
#include "plat/threadsafety.h"
#include "translayer/Event.h"
#include "translayer/HwId.h"
#include "translayer/ThreadBase.h"
#include "usblink/MediaInterface.h"

namespace linkhub {

class SessionLayer : public translayer::ThreadBase {
 public:
  static constexpr int kChannels = 16;
  static constexpr uint16_t kMaxFrame = 1024;
  // Received frames ride on the next frame that goes anyway; a transfer of
  // its own is asked for once linkproto::kAckAfterFrames wait
  // unacknowledged, or once this many came since the N(R) of the frame
  // before the last one sent: a device may count its window from there
  // (devsim does, as it cannot tell a late copy of that frame from a new
  // one), and it is full at seven. So is it right after one acknowledgement
  // that covers them, and a second goes at once.
  static constexpr uint8_t kAckFromBeforeLast = 6;
  // ... or once the oldest has waited this long (a stream's last frames, a
  // slow reply), far below the idle period the device would be left to.
  static constexpr int kAckDelayMs = 5;
  // A poll of a full window that got no answer (it or its answer was lost)
  // goes again after this, instead of at the idle call.
  static constexpr int kPollRetryMs = 50;

  // Link events of the event queue.
  enum : uint8_t {
    kEventReset = 1,          // reset the link and send 0x8F
    kEventResetAnswered = 2,  // 0x63 arrived: send 0xAF
    kEventParameters = 3,     // 0xCF arrived: send 0xA7
    kEventIdentified = 4,     // 0xC7 arrived: report the identity
    kEventTimer = 5,          // an acknowledgement or a poll is to be watched
    kEventStop = 127,
  };

  SessionLayer();
  // Stops and joins a thread still running (without telling the device);
  // the owner normally calls stop() first.
  ~SessionLayer() override;

  // Before start(): the media channel to run on and the receiver of reports.
  // `media` and `events` must outlive the thread.
  void bind(const MediaRecord* media, uint32_t mediaIndex, SessionLayerEvents* events);
  // Returns once the thread has connected to the media, or failed to.
  void waitStarted();
  // True once ChannelConnect succeeded (until the thread ends).
  bool isConnected() const;

  // Takes the first free channel below the device's channel count for a
  // service; one whose close went unanswered only when no other is free. Nothing is sent until the
  // first send(). False while stopping, while the handshake is incomplete, or when every channel is
  // taken.
  bool openChannel(uint8_t protocolId, uint8_t* channel);
  // Closes a channel: drops its unsent data and tells the device. A channel
  // still waiting for its first frame is freed at once.
  void closeChannel(uint8_t channel);
  // Queues `length` bytes of a message on an open channel, cut into frames;
  // `last` marks the message's end. False when refused (stopping, no link,
  // channel not open, or too much queued).
  bool send(uint8_t channel, const uint8_t* data, uint16_t length, bool last);
  // A receiver that refused data (SessionLayerEvents::canTakeData) may have
  // room again: the held frame is asked for again when it has.
  void resumeReceive();

  // Asks the thread to end; when the link is up the device is told with a
  // link reset first. stop() also waits for the thread.
  void requestStop();
  void stop();

  // The media callbacks, passed to ChannelConnect with the layer as context.
  static void receiveFrame(void* context, uint8_t* frame, uint16_t* length);
  static void buildFrame(void* context, uint8_t* destination, uint16_t* length, int mode);

  // Observers for the owner and tests.
  bool isLinkUp() const;  // handshake complete since the last link reset
  uint16_t channelCount() const;
  uint16_t maxFrameLength() const;
  translayer::HwId hwId() const;

 protected:
  void run() override;

 private:
  // A FIFO of one-byte link events with a timed pop.
  class EventQueue {
   public:
    void push(uint8_t event);
    // False when nothing came within `ms` (none waited when ms <= 0).
    bool pop(uint8_t* event, int64_t ms);

   private:
    plat::Mutex mutex_;
    plat::CondVar cv_;
    std::deque<uint8_t> events_ GUARDED_BY(mutex_);
  };

  // One outgoing fragment waiting in a channel queue.
  struct tFrame {
    uint8_t protocolId = 0;
    bool first = false;  // carries the protocol id
    bool last = false;   // last fragment of a message
    std::vector<uint8_t> data;
  };

  struct Channel {
    bool free = true;
    bool openPending = false;  // the protocol id has not been sent yet
    bool closing = false;
    uint8_t protocolId = 0;
    int64_t closeTime = 0;  // steady clock, 100 ns units
    // Freed by the close time-out: the device may still answer that close.
    // Until the device acknowledges the first frame of the channel's next
    // opening, a close frame from it is that late answer.
    bool lateCloseDue = false;
    bool firstFrameStored = false;  // the next opening's first frame has a number
    uint8_t firstFrameNs = 0;       // ... namely this one
    std::deque<std::shared_ptr<tFrame>> queue;
  };

  enum class Stage : uint8_t {
    kAwaitReset,     // 0x8F sent or due; only U frames are looked at
    kAwaitParams,    // 0x63 seen, 0xAF due or sent
    kAwaitIdentity,  // 0xCF seen, 0xA7 due or sent
    kUp,             // 0xC7 seen: channels and I frames allowed
  };

  enum class NrKind { kValid, kStale, kInvalid };

  void onReceive(uint8_t* frame, uint16_t* length) REQUIRES(linkMutex_);
  void onBuild(uint8_t* destination, uint16_t* length, int mode) REQUIRES(linkMutex_);
  void receiveU(uint8_t* frame, uint16_t* length) REQUIRES(linkMutex_);
  void receiveS(uint8_t control) REQUIRES(linkMutex_);
  void receiveI(const uint8_t* frame, uint16_t length) REQUIRES(linkMutex_);
  // Takes an I frame's data; true when it repeats the last frame taken.
  bool takeI(const uint8_t* frame, uint16_t length) REQUIRES(linkMutex_);
  void resetLink() REQUIRES(linkMutex_);
  void protocolError(const char* why) REQUIRES(linkMutex_);
  NrKind classifyNr(uint8_t nr) const REQUIRES(linkMutex_);
  void acceptNr(uint8_t nr) REQUIRES(linkMutex_);
  void noteFrameFromDevice() REQUIRES(linkMutex_);
  bool anyQueued() const REQUIRES(linkMutex_);
  bool windowFull() const REQUIRES(linkMutex_);
  bool hasWorkToSend() const REQUIRES(linkMutex_);
  void resumeIfRoom() REQUIRES(linkMutex_);
  void endHold() REQUIRES(linkMutex_);
  void armTimer() REQUIRES(linkMutex_);
  int64_t timerWaitMs() REQUIRES(linkMutex_);
  void onTimer() REQUIRES(linkMutex_);
  bool pollWatched() const REQUIRES(linkMutex_);
  void pollSent() REQUIRES(linkMutex_);
  void nrSent() REQUIRES(linkMutex_);
  void setTransmitEvent() REQUIRES(linkMutex_);
  static int64_t nowTicks();

  const MediaRecord* media_ = nullptr;
  uint32_t mediaIndex_ = 0;
  SessionLayerEvents* events_ = nullptr;
  translayer::Event started_;
  EventQueue queue_;

  mutable plat::Mutex linkMutex_;
  // Everything below is guarded by linkMutex_.
  MediaChannelInfo info_ GUARDED_BY(linkMutex_){};
  uint16_t maxFrame_ GUARDED_BY(linkMutex_) = kMaxFrame;
  bool connected_ GUARDED_BY(linkMutex_) = false;
  int txEvent_ GUARDED_BY(linkMutex_) = -1;
  // Set since the last frame-builder call: the media will call the builder
  // anyway, and that call sees everything asked for before it.
  bool txRequested_ GUARDED_BY(linkMutex_) = false;
  bool stop_ GUARDED_BY(linkMutex_) = false;
  Channel channels_[kChannels] GUARDED_BY(linkMutex_);
  uint16_t channelCount_ GUARDED_BY(linkMutex_) = 0;
  uint8_t lastServed_ GUARDED_BY(linkMutex_) = 15;
  uint8_t store_[8][kMaxFrame] GUARDED_BY(linkMutex_);
  uint16_t storedLength_[8] GUARDED_BY(linkMutex_) = {};
  uint8_t vs_ GUARDED_BY(linkMutex_) = 0;       // V(S): next sequence number to build
  uint8_t cursor_ GUARDED_BY(linkMutex_) = 0;   // next store slot to transmit
  uint8_t peerAck_ GUARDED_BY(linkMutex_) = 7;  // the last valid N(R) (7 before the first one)
  uint8_t vr_ GUARDED_BY(linkMutex_) = 0;       // V(R): next sequence number expected
  // Acknowledgement bookkeeping. base_ is the oldest unacknowledged frame;
  // floor_ the base before the latest frame from the device. An N(R) behind
  // base_ but not behind floor_ (a repeated or late acknowledgement) is stale
  // and ignored rather than taken for frames never sent. The media keep the
  // device's frames in order, so the window is not narrowed for it.
  uint8_t base_ GUARDED_BY(linkMutex_) = 0;
  uint8_t floor_ GUARDED_BY(linkMutex_) = 0;
  uint8_t pendingControl_ GUARDED_BY(linkMutex_) = 0;
  bool answerAwaited_ GUARDED_BY(linkMutex_) = false;
  bool ackDue_ GUARDED_BY(linkMutex_) = false;
  bool peerBusy_ GUARDED_BY(linkMutex_) = false;
  bool reject_ GUARDED_BY(linkMutex_) = false;
  bool pollOutstanding_ GUARDED_BY(linkMutex_) = false;
  // The send cursor as each poll whose answer (P/F set) has not come went,
  // oldest first; unlike pollOutstanding_ these outlast the device's other
  // frames.
  static constexpr uint8_t kPollsKept = 8;
  uint8_t pollPoints_[kPollsKept] GUARDED_BY(linkMutex_) = {};
  uint8_t pollHead_ GUARDED_BY(linkMutex_) = 0;
  uint8_t pollsDue_ GUARDED_BY(linkMutex_) = 0;
  bool rejectActed_ GUARDED_BY(linkMutex_) =
      false;                                     // a reject sent frames again since the last answer
  uint8_t rejectNr_ GUARDED_BY(linkMutex_) = 0;  // ... from this N(R)
  // Received frames are acknowledged by the next frame that goes anyway; one
  // of its own is asked for only when due (SessionLayer.cpp, receiveI).
  // sentNr_ is the N(R) of the last frame sent: V(R) ahead of it means
  // frames wait for their acknowledgement, the oldest since ackSince_.
  uint8_t sentNr_ GUARDED_BY(linkMutex_) = 0;
  uint8_t sentNrBefore_ GUARDED_BY(linkMutex_) = 0;  // ... of the frame sent before it
  int64_t ackSince_ GUARDED_BY(linkMutex_) = 0;      // steady clock, 100 ns units
  int64_t pollSince_ GUARDED_BY(linkMutex_) = 0;     // when the last poll of a full window went
  bool timerArmed_ GUARDED_BY(linkMutex_) = false;   // the thread watches both deadlines
  // The frame numbered V(R) was left unaccepted because the receiver of its
  // channel had no room; nothing after it is taken or rejected meanwhile.
  bool holding_ GUARDED_BY(linkMutex_) = false;
  uint8_t heldChannel_ GUARDED_BY(linkMutex_) = 0;
  Stage stage_ GUARDED_BY(linkMutex_) = Stage::kAwaitReset;
  translayer::HwId hwid_ GUARDED_BY(linkMutex_){};
};

}  // namespace linkhub
