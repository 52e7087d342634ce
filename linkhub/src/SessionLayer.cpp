#include "linkhub/SessionLayer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "LinkTrace.h"
#include "linkproto/LinkProtocol.h"
#include "plat/trace.h"

using translayer::formatHwId;
using translayer::HwId;

using namespace linkproto;

namespace linkhub {

namespace {

// Below this a fragment could not carry a byte of data (a first fragment
// needs the control and channel bytes and the protocol id).
constexpr uint16_t kMinDeviceFrame = 4;
// send() refuses once a channel would hold this many fragments.
constexpr size_t kQueueLimit = 65536;
constexpr int64_t kAckDelayTicks = int64_t(SessionLayer::kAckDelayMs) * 10000;
constexpr int64_t kPollRetryTicks = int64_t(SessionLayer::kPollRetryMs) * 10000;

}  // namespace

// ---- event queue ---------------------------------------------------------

void SessionLayer::EventQueue::push(uint8_t event) {
  {
    plat::LockGuard lock(mutex_);
    events_.push_back(event);
  }
  cv_.notify_one();
}

bool SessionLayer::EventQueue::pop(uint8_t* event, int64_t ms) {
  plat::UniqueLock lock(mutex_);
  if (events_.empty()) {
    if (ms <= 0) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    if (!cv_.wait_until(lock, deadline, [this]() REQUIRES(mutex_) { return !events_.empty(); }))
      return false;
  }
  *event = events_.front();
  events_.pop_front();
  return true;
}

// ---- life cycle ------------------------------------------------------------

SessionLayer::SessionLayer() : ThreadBase("SessionLayer") {
  std::memset(store_, 0, sizeof store_);
  plat::LockGuard lock(linkMutex_);
  resetLink();
}

SessionLayer::~SessionLayer() {
  // Normally stopped already; if not, two stop events end the thread at once
  // instead of leaving it running on a dead object.
  if (hasThread()) {
    queue_.push(kEventStop);
    queue_.push(kEventStop);
  }
  join();
}

void SessionLayer::bind(const MediaRecord* media, uint32_t mediaIndex, SessionLayerEvents* events) {
  media_ = media;
  mediaIndex_ = mediaIndex;
  events_ = events;
}

void SessionLayer::waitStarted() { started_.wait(); }

bool SessionLayer::isConnected() const {
  plat::LockGuard lock(linkMutex_);
  return connected_;
}

void SessionLayer::requestStop() { queue_.push(kEventStop); }

void SessionLayer::stop() {
  queue_.push(kEventStop);
  join();
}

int64_t SessionLayer::nowTicks() {
  using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
  return std::chrono::duration_cast<Ticks>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SessionLayer::setTransmitEvent() {
  if (txRequested_) return;
  if (txEvent_ >= 0 && media_ && media_->setTransmitEvent) {
    media_->setTransmitEvent(txEvent_);
    txRequested_ = true;
  }
}

// ---- the thread ----------------------------------------------------------

void SessionLayer::run() {
  MediaChannelInfo info{};
  if (!media_ || !media_->getChannelInfo(mediaIndex_, &info, int(sizeof info))) {
    VLN_TRACE(kLink, "[%u] GetChannelInfo failed: no link on this channel", mediaIndex_);
    started_.set();
    return;
  }
  if (info.maxFrameLength < kMinDeviceFrame) {
    // Fragments would have no room for data (and their sizes would wrap).
    VLN_TRACE(kLink, "[%u] media max frame %u is below %u: no link on this channel", mediaIndex_,
              unsigned(info.maxFrameLength), unsigned(kMinDeviceFrame));
    started_.set();
    return;
  }
  {
    plat::LockGuard lock(linkMutex_);
    info_ = info;
    maxFrame_ = std::min<uint16_t>(info.maxFrameLength, kMaxFrame);
  }
  int txEvent = -1;
  if (!media_->channelConnect(mediaIndex_, &SessionLayer::receiveFrame, &SessionLayer::buildFrame,
                              this, &txEvent)) {
    VLN_TRACE(kLink, "[%u] ChannelConnect failed: no link on this channel", mediaIndex_);
    started_.set();
    return;
  }
  VLN_TRACE(kLink, "[%u] connected: event wait %u ms, close time-out %u ms, max frame %u",
            mediaIndex_, unsigned(info.eventWaitMs), unsigned(info.closeTimeoutMs),
            unsigned(info.maxFrameLength));
  {
    plat::LockGuard lock(linkMutex_);
    txEvent_ = txEvent;
    txRequested_ = false;
    connected_ = true;
  }
  started_.set();
  // The handshake starts at once rather than after the first idle period.
  queue_.push(kEventReset);

  bool identified = false;  // stays so through later link resets
  // The idle period counts from the last link event; the acknowledgement and
  // poll deadlines cut a wait short without restarting it.
  const int64_t idleTicks = int64_t(info.eventWaitMs) * 10000;
  int64_t idleFrom = nowTicks();
  for (;;) {
    int64_t waitMs = (idleFrom + idleTicks - nowTicks() + 9999) / 10000;
    {
      plat::LockGuard lock(linkMutex_);
      const int64_t timer = timerWaitMs();
      if (timer >= 0) waitMs = std::min(waitMs, timer);
    }
    uint8_t event = 0;
    if (!queue_.pop(&event, std::max<int64_t>(waitMs, 0))) {
      plat::LockGuard lock(linkMutex_);
      const int64_t now = nowTicks();
      const bool idle = now - idleFrom >= idleTicks;
      if (stop_) {
        if (idle) break;
        continue;
      }
      onTimer();
      if (!idle) continue;
      idleFrom = now;
      // Whenever the handshake is incomplete (first contact, or a reset whose
      // 0x8F or answer was lost) it is restarted every idle period.
      if (stage_ != Stage::kUp) {
        VLN_TRACE(kLink, "[%u] no answer within %u ms: the handshake starts again", mediaIndex_,
                  unsigned(info.eventWaitMs));
        queue_.push(kEventReset);
      }
      continue;
    }
    if (event != kEventTimer) idleFrom = nowTicks();
    bool leave = false;
    bool report = false;
    HwId id{};
    {
      plat::LockGuard lock(linkMutex_);
      if (stop_) break;
      switch (event) {
        case kEventReset:
          resetLink();
          pendingControl_ = kResetRequest;
          setTransmitEvent();
          break;
        case kEventResetAnswered:
          if (stage_ == Stage::kAwaitParams) {
            pendingControl_ = kParamRequest;
            setTransmitEvent();
          }
          break;
        case kEventParameters:
          if (stage_ == Stage::kAwaitIdentity || stage_ == Stage::kUp) {
            pendingControl_ = kIdentityRequest;
            setTransmitEvent();
          }
          break;
        case kEventIdentified:
          report = true;
          id = hwid_;
          identified = true;
          break;
        case kEventStop:
          stop_ = true;
          if (identified) {
            // Tell the device; the loop ends after the next event or idle period.
            VLN_TRACE(kLink, "[%u] stopping: a link reset tells the device", mediaIndex_);
            resetLink();
            pendingControl_ = kResetRequest;
            setTransmitEvent();
          }
          break;
        default:
          break;
      }
      if (stop_ && !identified) leave = true;
    }
    if (report && events_) events_->onDeviceIdentified(&id);
    if (leave) break;
  }
  {
    plat::LockGuard lock(linkMutex_);
    connected_ = false;
  }
  media_->channelDisconnect(mediaIndex_);
  plat::LockGuard lock(linkMutex_);
  txEvent_ = -1;
  txRequested_ = false;
}

// ---- link state ------------------------------------------------------------

void SessionLayer::resetLink() {
  for (int c = 0; c < kChannels; ++c) {
    Channel& ch = channels_[c];
    if (!ch.free && !ch.closing)
      VLN_TRACE(kLink, "[%u] channel %d closed by the link reset", mediaIndex_, c);
    if (!ch.free && !ch.closing && events_) events_->onChannelClosed(uint8_t(c));
    ch.free = true;
    ch.openPending = false;
    ch.closing = false;
    ch.lateCloseDue = false;  // the device forgets its channels too
    ch.firstFrameStored = false;
    ch.queue.clear();
  }
  std::fill(std::begin(storedLength_), std::end(storedLength_), uint16_t(0));
  lastServed_ = 15;
  vs_ = 0;
  cursor_ = 0;
  peerAck_ = 7;
  vr_ = 0;
  base_ = 0;
  floor_ = 0;
  pendingControl_ = 0;
  answerAwaited_ = false;
  ackDue_ = false;
  peerBusy_ = false;
  reject_ = false;
  pollOutstanding_ = false;
  pollsDue_ = 0;
  rejectActed_ = false;
  sentNr_ = 0;
  sentNrBefore_ = 0;
  holding_ = false;
  stage_ = Stage::kAwaitReset;
}

void SessionLayer::protocolError(const char* why) {
  VLN_TRACE(kLink, "[%u] protocol error: %s: link reset", mediaIndex_, why);
  resetLink();
  pendingControl_ = kResetRequest;
  answerAwaited_ = false;
  setTransmitEvent();
}

SessionLayer::NrKind SessionLayer::classifyNr(uint8_t nr) const {
  if (seqDistance(base_, nr) <= seqDistance(base_, vs_)) return NrKind::kValid;
  uint8_t behind = seqDistance(nr, base_);
  if (behind >= 1 && behind <= seqDistance(floor_, base_)) return NrKind::kStale;
  return NrKind::kInvalid;
}

void SessionLayer::acceptNr(uint8_t nr) {
  const uint8_t acknowledged = seqDistance(base_, nr);
  for (Channel& ch : channels_) {
    if (ch.lateCloseDue && ch.firstFrameStored &&
        seqDistance(base_, ch.firstFrameNs) < acknowledged)
      ch.lateCloseDue = false;  // the device has the new opening: its closes are new
  }
  base_ = nr;
  peerAck_ = nr;
}

void SessionLayer::noteFrameFromDevice() {
  // Only the frame right after this one can still be older than it.
  floor_ = base_;
  // The device has spoken: a new poll may go out when the window needs one.
  pollOutstanding_ = false;
}

// ---- deadlines -----------------------------------------------------------

void SessionLayer::armTimer() {
  if (timerArmed_) return;
  timerArmed_ = true;
  queue_.push(kEventTimer);
}

bool SessionLayer::pollWatched() const {
  return pollOutstanding_ && stage_ == Stage::kUp && !peerBusy_ && anyQueued() && windowFull();
}

int64_t SessionLayer::timerWaitMs() {
  if (!timerArmed_) return -1;
  int64_t due = -1;
  if (sentNr_ != vr_) due = ackSince_ + kAckDelayTicks;
  if (pollWatched() && (due < 0 || pollSince_ + kPollRetryTicks < due))
    due = pollSince_ + kPollRetryTicks;
  if (due < 0) {
    // Nothing to watch: the next frame that needs it arms the timer again.
    timerArmed_ = false;
    return -1;
  }
  return std::max<int64_t>((due - nowTicks() + 9999) / 10000, 0);
}

void SessionLayer::onTimer() {
  if (!timerArmed_ || stop_) return;
  const int64_t now = nowTicks();
  if (sentNr_ != vr_ && now - ackSince_ >= kAckDelayTicks) {
    ackDue_ = true;
    ackSince_ = now;  // asked again only if no transfer takes it by then
    setTransmitEvent();
  }
  if (pollWatched() && now - pollSince_ >= kPollRetryTicks) {
    VLN_TRACE(kLink, "[%u] the poll of the full window went unanswered: it goes again",
              mediaIndex_);
    pollOutstanding_ = false;
    pollSince_ = now;
    setTransmitEvent();
  }
}

bool SessionLayer::anyQueued() const {
  for (const Channel& ch : channels_)
    if (!ch.queue.empty()) return true;
  return false;
}

bool SessionLayer::windowFull() const {
  uint8_t next = seqAdd(vs_, 1);
  return next == peerAck_ || next == cursor_;
}

// ---- channels ------------------------------------------------------------

bool SessionLayer::openChannel(uint8_t protocolId, uint8_t* channel) {
  plat::LockGuard lock(linkMutex_);
  if (stop_ || stage_ != Stage::kUp) return false;
  const int64_t now = nowTicks();
  const int64_t timeout = int64_t(info_.closeTimeoutMs) * 10000;
  const int count = std::min<int>(channelCount_, kChannels);
  for (int c = 0; c < count; ++c) {
    Channel& ch = channels_[c];
    if (ch.closing && now - ch.closeTime > timeout) {
      ch.closing = false;
      ch.free = true;
      ch.queue.clear();
      ch.lateCloseDue = true;
      ch.firstFrameStored = false;
    }
  }
  // A channel whose close may still be answered goes last: the later the
  // reuse, the likelier the answer has come.
  for (bool lateCloseDue : {false, true}) {
    for (int c = 0; c < count; ++c) {
      Channel& ch = channels_[c];
      if (!ch.free || ch.lateCloseDue != lateCloseDue) continue;
      ch.protocolId = protocolId;
      ch.free = false;
      ch.openPending = true;
      ch.closing = false;
      ch.firstFrameStored = false;
      *channel = uint8_t(c);
      VLN_TRACE(kLink, "[%u] channel %d opened for protocol %u", mediaIndex_, c,
                unsigned(protocolId));
      return true;
    }
  }
  return false;
}

void SessionLayer::closeChannel(uint8_t channel) {
  plat::LockGuard lock(linkMutex_);
  if (stop_ || channelCount_ == 0 || channel >= kChannels) return;
  Channel& ch = channels_[channel];
  if (ch.free || ch.closing) return;
  // Nobody waits for that channel's data any more.
  if (holding_ && heldChannel_ == channel) endHold();
  if (ch.openPending || (!ch.queue.empty() && ch.queue.front()->first)) {
    // The device never heard of it: its opening frame has not gone out, so a
    // close would go unanswered and hold the channel for the close time-out.
    ch.free = true;
    ch.openPending = false;
    ch.queue.clear();
    VLN_TRACE(kLink, "[%u] channel %u closed before its first frame", mediaIndex_,
              unsigned(channel));
    return;
  }
  VLN_TRACE(kLink, "[%u] channel %u closing: close frame queued", mediaIndex_, unsigned(channel));
  ch.queue.clear();
  auto close = std::make_shared<tFrame>();
  close->protocolId = ch.protocolId;
  ch.queue.push_back(std::move(close));
  ch.closing = true;
  ch.closeTime = nowTicks();
  setTransmitEvent();
}

bool SessionLayer::send(uint8_t channel, const uint8_t* data, uint16_t length, bool last) {
  plat::LockGuard lock(linkMutex_);
  if (stop_ || channelCount_ == 0 || channel >= kChannels) return false;
  Channel& ch = channels_[channel];
  if (ch.free) return false;
  if (size_t(length) / (size_t(maxFrame_) + 2) + ch.queue.size() >= kQueueLimit) return false;
  if (length == 0 && !last) {
    setTransmitEvent();
    return true;
  }
  // An empty last fragment still carries the message's end.
  size_t offset = 0;
  do {
    const size_t room = ch.openPending ? size_t(maxFrame_) - 3 : size_t(maxFrame_) - 2;
    const size_t n = std::min(room, size_t(length) - offset);
    auto f = std::make_shared<tFrame>();
    f->protocolId = ch.protocolId;
    f->first = ch.openPending;
    if (n) f->data.assign(data + offset, data + offset + n);
    offset += n;
    f->last = last && offset == length;
    ch.openPending = false;
    ch.queue.push_back(std::move(f));
  } while (offset < length);
  setTransmitEvent();
  return true;
}

void SessionLayer::resumeReceive() {
  plat::LockGuard lock(linkMutex_);
  resumeIfRoom();
}

void SessionLayer::resumeIfRoom() {
  if (!holding_ || stop_) return;
  if (events_ && !events_->canTakeData(heldChannel_)) return;
  endHold();
}

void SessionLayer::endHold() {
  VLN_TRACE(kLink, "[%u] channel %u takes data again: frames from N(S)=%u are asked for again",
            mediaIndex_, unsigned(heldChannel_), unsigned(vr_));
  holding_ = false;
  // The reject sends the device back to V(R) at once.
  reject_ = true;
  setTransmitEvent();
}

// ---- observers -------------------------------------------------------------

bool SessionLayer::isLinkUp() const {
  plat::LockGuard lock(linkMutex_);
  return stage_ == Stage::kUp;
}

uint16_t SessionLayer::channelCount() const {
  plat::LockGuard lock(linkMutex_);
  return channelCount_;
}

uint16_t SessionLayer::maxFrameLength() const {
  plat::LockGuard lock(linkMutex_);
  return maxFrame_;
}

HwId SessionLayer::hwId() const {
  plat::LockGuard lock(linkMutex_);
  return hwid_;
}

// ---- receive -------------------------------------------------------------

void SessionLayer::receiveFrame(void* context, uint8_t* frame, uint16_t* length) {
  auto* self = static_cast<SessionLayer*>(context);
  plat::LockGuard lock(self->linkMutex_);
  VLN_TRACE(kFrames, "[%u] rx %s", self->mediaIndex_, describeLinkFrame(frame, *length).c_str());
  self->onReceive(frame, length);
}

void SessionLayer::onReceive(uint8_t* frame, uint16_t* length) {
  if (*length == 0) return;
  const uint8_t control = frame[0];
  if (isUFrame(control)) {
    receiveU(frame, length);
  } else if (isSFrame(control)) {
    if (stop_ || stage_ == Stage::kAwaitReset || *length != 1) return;
    receiveS(control);
  } else {
    if (stop_ || stage_ == Stage::kAwaitReset || *length < 2) return;
    receiveI(frame, *length);
  }
}

void SessionLayer::receiveU(uint8_t* frame, uint16_t* length) {
  --*length;
  frame[0] = uFrameCode(frame[0]);
  answerAwaited_ = false;
  const uint8_t* payload = frame + 1;
  switch (frame[0]) {
    case kResetAnswer:
      if (*length == 0 && stage_ == Stage::kAwaitReset) {
        VLN_TRACE(kLink, "[%u] got 0x63 reset answer", mediaIndex_);
        stage_ = Stage::kAwaitParams;
        queue_.push(kEventResetAnswered);
      } else {
        VLN_TRACE(kLink, "[%u] ignored 0x63 with %u payload bytes (%s)", mediaIndex_,
                  unsigned(*length),
                  stage_ == Stage::kAwaitReset ? "wrong length" : "no reset awaited");
      }
      break;
    case kParamAnswer: {
      LinkParams params;
      if (!readParamAnswer(payload, *length, &params)) {
        VLN_TRACE(kLink, "[%u] ignored 0xCF with %u payload bytes (4 expected)", mediaIndex_,
                  unsigned(*length));
        break;
      }
      const uint16_t maxFrame = params.maxFrame;
      const uint16_t count = params.channels;
      if (maxFrame < kMinDeviceFrame) {
        // No room for data in a fragment: a broken device. Start over, paced
        // by the idle-period retry rather than at once.
        VLN_TRACE(kLink, "[%u] 0xCF announces max frame %u, below %u: link reset", mediaIndex_,
                  unsigned(maxFrame), unsigned(kMinDeviceFrame));
        resetLink();
        break;
      }
      if (maxFrame < maxFrame_) maxFrame_ = maxFrame;
      channelCount_ = count;
      VLN_TRACE(kLink, "[%u] got 0xCF parameters: device max frame %u (using %u), %u channels",
                mediaIndex_, unsigned(maxFrame), unsigned(maxFrame_), unsigned(count));
      if (stage_ == Stage::kAwaitParams) stage_ = Stage::kAwaitIdentity;
      queue_.push(kEventParameters);
      break;
    }
    case kIdentityAnswer:
      if (*length != 16) {
        VLN_TRACE(kLink, "[%u] ignored 0xC7 with %u payload bytes (16 expected)", mediaIndex_,
                  unsigned(*length));
        break;
      }
      std::memcpy(hwid_.id, payload, 16);
      VLN_TRACE(kLink, "[%u] got 0xC7 identity %s: link up", mediaIndex_,
                formatHwId(hwid_).c_str());
      if (stage_ == Stage::kAwaitIdentity) stage_ = Stage::kUp;
      queue_.push(kEventIdentified);
      break;
    default:
      break;
  }
}

void SessionLayer::receiveS(uint8_t control) {
  const uint8_t nr = frameNr(control);
  const uint8_t type = sFrameType(control);
  const NrKind kind = classifyNr(nr);
  // P/F while none of our polls awaits its answer: the device asks for our state.
  const bool answer = hasPf(control) && pollsDue_ > 0;
  const bool polled = hasPf(control) && pollsDue_ == 0;
  // Answers come in the order of the polls: this one says what arrived
  // before the oldest poll still unanswered.
  uint8_t pollPoint = 0;
  if (answer) {
    pollPoint = pollPoints_[pollHead_];
    pollHead_ = uint8_t((pollHead_ + 1) % kPollsKept);
    --pollsDue_;
  }
  noteFrameFromDevice();
  if (polled) ackDue_ = true;
  if (kind == NrKind::kStale) return;  // overtaken on the way: old news
  if (kind == NrKind::kInvalid) {
    protocolError("S frame acknowledges frames never sent");
    return;
  }
  const bool wasBusy = peerBusy_;
  if (type == kSReady || type == kSReject) {
    peerBusy_ = false;
    // The answer to our poll tells what arrived before the poll; the frames
    // sent after it are still on their way, so only a loss before it sends
    // frames again (else each answer sent those frames twice).
    const uint8_t toPoint = seqDistance(base_, pollPoint);
    const bool lostBeforePoll =
        toPoint <= seqDistance(base_, vs_) && seqDistance(base_, nr) < toPoint;
    // A reject that answers our poll with the N(R) of a reject already acted
    // on says nothing new: those frames are going again already.
    const bool repeatedReject = answer && rejectActed_ && nr == rejectNr_;
    const bool rewind = type == kSReject ? !repeatedReject : !answer || lostBeforePoll;
    if (type == kSReject && !answer) {
      rejectActed_ = true;
      rejectNr_ = nr;
    }
    if (answer) rejectActed_ = false;
    if (rewind) {
      if (nr != cursor_ && seqDistance(nr, cursor_) <= seqDistance(nr, vs_))
        VLN_TRACE(kFrames, "[%u] back to N(S)=%u: %u frames go again", mediaIndex_, unsigned(nr),
                  unsigned(seqDistance(nr, cursor_)));
      cursor_ = nr;  // everything from N(R) on goes again
    }
  } else if (type == kSBusy) {
    peerBusy_ = true;
  }
  const bool busyAgain = wasBusy && peerBusy_;
  if (busyAgain) ackDue_ = true;
  acceptNr(nr);
  // An acknowledgement merely waiting rides on the next transfer.
  if (polled || busyAgain || hasWorkToSend()) setTransmitEvent();
}

bool SessionLayer::hasWorkToSend() const {
  // Stored frames to (re)send, or queued data that the window now takes or
  // that needs a poll to get going again; nothing while the device is busy.
  if (peerBusy_) return false;
  if (cursor_ != vs_ && !reject_) return true;
  return stage_ == Stage::kUp && anyQueued() && (!windowFull() || !pollOutstanding_);
}

void SessionLayer::receiveI(const uint8_t* frame, uint16_t length) {
  const uint8_t control = frame[0];
  const uint8_t nr = frameNr(control);
  const NrKind kind = classifyNr(nr);
  noteFrameFromDevice();
  if (kind == NrKind::kInvalid) {
    protocolError("I frame acknowledges frames never sent");
    return;
  }
  ackDue_ = true;
  if (kind == NrKind::kValid) acceptNr(nr);
  const uint8_t vrBefore = vr_;
  const bool rejectBefore = reject_;
  const bool repeat = takeI(frame, length);
  if (stage_ == Stage::kAwaitReset) return;  // a protocol error reset the link
  // The acknowledgement goes with the next frame sent anyway (the next
  // request carries the reply's). A transfer of its own only when the
  // device may be waiting for it: a poll, a repeat (its acknowledgement was
  // lost, or it solicits one), a reject, or the device's window filling up;
  // else the timer sends it after a short wait.
  if (vr_ != vrBefore && sentNr_ == vrBefore) ackSince_ = nowTicks();
  const bool due = hasPf(control) || repeat || (reject_ && !rejectBefore) ||
                   seqDistance(sentNr_, vr_) >= kAckAfterFrames ||
                   seqDistance(sentNrBefore_, vr_) >= kAckFromBeforeLast;
  if (due || hasWorkToSend()) {
    setTransmitEvent();
  } else if (sentNr_ != vr_) {
    armTimer();
  }
}

bool SessionLayer::takeI(const uint8_t* frame, uint16_t length) {
  const uint8_t control = frame[0];
  if (reject_) return false;  // nothing is taken until the reject has gone out
  const uint8_t ns = frameNs(control);
  // A repeat of the last frame, or of any taken since our last N(R): the
  // device numbers nothing new there, so it is no gap to reject.
  if (ns == seqAdd(vr_, -1) || seqDistance(sentNr_, ns) < seqDistance(sentNr_, vr_)) return true;
  if (ns != vr_) {
    // Behind a held frame: they come again with it.
    if (holding_) return false;
    VLN_TRACE(kLink, "[%u] I frame N(S)=%u out of sequence (expected %u): reject", mediaIndex_,
              unsigned(ns), unsigned(vr_));
    reject_ = true;
    return false;
  }
  const uint8_t channelByte = frame[1];
  const uint8_t c = channelOf(channelByte);
  Channel& ch = channels_[c];
  const bool last = isLastFragment(channelByte);
  const bool dropped = channelByte >= kChannelByteLimit || isFirstFragment(channelByte);
  const bool data = !dropped && !ch.free && !ch.closing && (length > kIHeaderLength || last);
  if (data && events_ && !events_->canTakeData(c)) {
    // A receiver that does not keep up: the frame stays unaccepted, so the
    // device keeps it (and everything after it) until there is room.
    if (!holding_)
      VLN_TRACE(kLink, "[%u] channel %u has no room: N(S)=%u and later frames are held back",
                mediaIndex_, unsigned(c), unsigned(ns));
    holding_ = true;
    heldChannel_ = c;
    return false;
  }
  holding_ = false;
  vr_ = seqAdd(vr_, 1);
  if (dropped) return false;
  if (length == kIHeaderLength && !last) {
    if (ch.lateCloseDue) {
      // The answer to a close the time-out gave up on; a reopened channel
      // stays open.
      ch.lateCloseDue = false;
      return false;
    }
    // The device closes the channel (or answers our close).
    VLN_TRACE(kLink, "[%u] channel %u closed by the device%s", mediaIndex_, unsigned(c),
              ch.closing ? " (answering our close)" : "");
    if (!ch.free && !ch.closing) {
      ch.queue.clear();
      if (events_) events_->onChannelClosed(c);
    }
    ch.free = true;
    ch.openPending = false;
    ch.closing = false;
    return false;
  }
  if (ch.free) {
    char why[64];
    std::snprintf(why, sizeof why, "data for channel %u, which is not open", unsigned(c));
    protocolError(why);
    return false;
  }
  if (events_) events_->onData(c, frame + kIHeaderLength, uint16_t(length - kIHeaderLength), last);
  return false;
}

// ---- transmit ------------------------------------------------------------

void SessionLayer::buildFrame(void* context, uint8_t* destination, uint16_t* length, int mode) {
  auto* self = static_cast<SessionLayer*>(context);
  plat::LockGuard lock(self->linkMutex_);
  self->onBuild(destination, length, mode);
  if (*length > 0)
    VLN_TRACE(kFrames, "[%u] tx %s%s", self->mediaIndex_,
              describeLinkFrame(destination, *length).c_str(),
              mode == kMediaTxIdle ? " (idle)" : "");
}

void SessionLayer::onBuild(uint8_t* destination, uint16_t* length, int mode) {
  *length = 0;
  txRequested_ = false;
  // After a poll the next one waits for the device or for the idle call.
  // A whole idle period is long enough for every answer to have come.
  if (mode == kMediaTxIdle) {
    pollOutstanding_ = false;
    pollsDue_ = 0;
  }

  if (pendingControl_ != 0 && !answerAwaited_) {
    if (mode == kMediaTxFurther) return;  // a control frame starts a transfer
    destination[0] = pendingControl_;
    *length = 1;
    VLN_TRACE(kLink, "[%u] sent 0x%02X %s", mediaIndex_, unsigned(pendingControl_),
              pendingControl_ == kResetRequest   ? "link reset request"
              : pendingControl_ == kParamRequest ? "parameter request"
                                                 : "identity request");
    pendingControl_ = 0;
    answerAwaited_ = true;
    return;
  }
  if (stop_) return;
  if (holding_) resumeIfRoom();

  bool poll = false;       // an S frame of its own may ask for the acknowledgement
  bool windowWas = false;  // the window was full: the frame sent carries P/F
  if (stage_ == Stage::kUp) {
    int found = -1;
    for (int i = 1; i <= kChannels; ++i) {
      const int c = (lastServed_ + i) % kChannels;
      if (!channels_[c].queue.empty()) {
        found = c;
        break;
      }
    }
    if (found >= 0) {
      if (windowFull()) {
        windowWas = true;
        // One poll of its own at a time, and none into a device that said it is busy
        // (the idle call asks it then).
        if (!pollOutstanding_ && !peerBusy_) {
          ackDue_ = true;
          poll = true;
        }
      } else {
        Channel& ch = channels_[found];
        std::shared_ptr<tFrame> f = std::move(ch.queue.front());
        ch.queue.pop_front();
        lastServed_ = uint8_t(found);
        uint8_t* slot = store_[vs_];
        slot[0] = iControl(vs_, 0, false);
        slot[1] = channelByte(uint8_t(found), f->first, f->last);
        size_t header = kIHeaderLength;
        if (f->first) {
          slot[header++] = f->protocolId;
          if (ch.lateCloseDue) {
            ch.firstFrameStored = true;
            ch.firstFrameNs = vs_;
          }
        }
        if (!f->data.empty()) std::memcpy(slot + header, f->data.data(), f->data.size());
        storedLength_[vs_] = uint16_t(header + f->data.size());
        vs_ = seqAdd(vs_, 1);
      }
    }
  }

  if (reject_ || mode == kMediaTxIdle) ackDue_ = true;

  if (cursor_ != vs_ && !peerBusy_ && !reject_) {
    if (storedLength_[cursor_] == 0) {
      // Acknowledged something never sent: start over.
      VLN_TRACE(kLink,
                "[%u] protocol error: the device acknowledged a frame never sent: link "
                "reset, sent 0x8F",
                mediaIndex_);
      destination[0] = kResetRequest;
      *length = 1;
      resetLink();
      answerAwaited_ = true;
      return;
    }
    // Frames going again into a full window: the last of them asks for the
    // acknowledgement, so that the device answers once, having seen them all
    // (an answer to an earlier one would send the rest yet again).
    const bool pf = windowWas && seqAdd(cursor_, 1) == vs_;
    uint8_t* slot = store_[cursor_];
    slot[0] = iControlWithNr(slot[0], vr_, pf);
    std::memcpy(destination, slot, storedLength_[cursor_]);
    *length = storedLength_[cursor_];
    cursor_ = seqAdd(cursor_, 1);
    ackDue_ = false;
    nrSent();
    if (pf) pollSent();
    return;
  }

  if (poll && mode == kMediaTxFurther) {
    // The window filled inside a transfer, where no S frame may go: the poll
    // starts the next transfer now. Waiting for the idle call would stall
    // every stream whose device acknowledges only when asked.
    setTransmitEvent();
    return;
  }
  if (ackDue_ && mode != kMediaTxFurther) {
    const bool pf = windowWas || mode == kMediaTxIdle;
    const uint8_t type = reject_ ? kSReject : kSReady;
    reject_ = false;
    destination[0] = sControl(type, vr_, pf);
    *length = 1;
    ackDue_ = false;
    nrSent();
    if (pf) pollSent();
  }
}

void SessionLayer::nrSent() {
  sentNrBefore_ = sentNr_;
  sentNr_ = vr_;
  if (seqDistance(sentNrBefore_, vr_) >= kAckFromBeforeLast) {
    // A device that counts from the frame before this one has no room left.
    ackDue_ = true;
    setTransmitEvent();
  }
}

void SessionLayer::pollSent() {
  pollOutstanding_ = true;
  if (pollsDue_ == kPollsKept) {
    pollHead_ = uint8_t((pollHead_ + 1) % kPollsKept);  // the oldest was lost, surely
    --pollsDue_;
  }
  pollPoints_[(pollHead_ + pollsDue_) % kPollsKept] = cursor_;
  ++pollsDue_;
  if (!pollWatched()) return;
  // A full window waits for this answer: should it not come, the poll goes again.
  pollSince_ = nowTicks();
  armTimer();
}

}  // namespace linkhub
