#include "USBChannel.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "DevicePath.h"
#include "plat/poll.h"
#include "plat/trace.h"

namespace usblink {
namespace {

using Clock = std::chrono::steady_clock;

// Room kept after the transmit buffer: a frame builder that ignored the room
// offered could write its own limit (1024) past it; such a frame is refused,
// but it must not land outside the buffer first.
constexpr size_t kTxSlack = 1024;

// How long cancelled transfers are waited for. A device that has gone in a
// way that never answers (every call failing with "no device") would
// otherwise hold the channel, and with it the removal, for ever; closing the
// device abandons what is still out, and the bus keeps it, with the buffers
// it points into, for as long as it may still complete.
constexpr auto kDrainLimit = std::chrono::seconds(5);

// The buffers of transfers the channel gave up waiting for.
struct AbandonedBuffers {
  std::unique_ptr<RecordSplitter> splitter;
  std::vector<uint8_t> tx;
};

}  // namespace

USBChannel::USBChannel(uint32_t index, const std::string& path, UsbBus* bus, ChannelOwner* owner)
    : ThreadBase("USBChannel"), index_(index), path_(upperAscii(path)), bus_(bus), owner_(owner) {}

USBChannel::~USBChannel() {
  {
    plat::LockGuard lock(stateMutex_);
    stopRequested_ = true;
  }
  wake_.set();
  join();
}

void USBChannel::stop() {
  {
    plat::LockGuard lock(stateMutex_);
    stopRequested_ = true;
  }
  wake_.set();
  join();
}

bool USBChannel::stopRequested() const {
  plat::LockGuard lock(stateMutex_);
  return stopRequested_;
}

void USBChannel::describe(MediaChannelInfo* info) const {
  info->eventWaitMs = kIdlePeriodMs;
  info->closeTimeoutMs = kCloseTimeoutMs;
  // A channel whose set-up failed reads 65535 (limit 0 less one); the server
  // clamps it, and never hears from the channel anyway.
  info->maxFrameLength = uint16_t(frameLimit_.load() - 1);
  info->mediaFlag = 1;
  const size_t n = std::min(path_.size(), std::size(info->devicePath) - 1);
  for (size_t i = 0; i < n; ++i) info->devicePath[i] = char16_t(uint8_t(path_[i]));
  info->devicePath[n] = 0;
}

void USBChannel::connect(ChannelRxCallback rx, ChannelTxCallback tx, void* context, int* txEvent) {
  plat::LockGuard lock(callbackMutex_);
  rx_ = rx;
  tx_ = tx;
  context_ = context;
  connected_ = true;
  *txEvent = txEvent_.handle();
}

void USBChannel::disconnect() {
  plat::LockGuard lock(callbackMutex_);
  rx_ = nullptr;
  tx_ = nullptr;
  context_ = nullptr;
  connected_ = false;
}

bool USBChannel::connected() const {
  plat::LockGuard lock(callbackMutex_);
  return connected_;
}

void USBChannel::readDone(TransferStatus status, size_t bytes) {
  noteCompletion(&readCompletion_, Completion{status, bytes});
}

void USBChannel::writeDone(TransferStatus status, size_t bytes) {
  noteCompletion(&writeCompletion_, Completion{status, bytes});
}

void USBChannel::noteCompletion(std::optional<Completion>* slot, Completion c) {
  // A bus that completes on the I/O thread itself (inside a start or a
  // service call) needs no wake-up: the loop looks at the completions again
  // before it waits.
  const bool own = std::this_thread::get_id() == ioThread_.load();
  bool wake = false;
  {
    plat::LockGuard lock(completionMutex_);
    *slot = c;
    // Only a thread that sleeps is woken, once per sleep.
    if (!own && sleeping_) {
      sleeping_ = false;
      wake = true;
    }
  }
  if (own)
    ownCompletion_ = true;
  else if (wake)
    wake_.set();
}

bool USBChannel::goToSleep() {
  plat::LockGuard lock(completionMutex_);
  if (readCompletion_ || writeCompletion_) return false;
  sleeping_ = true;
  return true;
}

void USBChannel::wakeUp() {
  plat::LockGuard lock(completionMutex_);
  sleeping_ = false;
}

void USBChannel::takeCompletions(std::optional<Completion>* read,
                                 std::optional<Completion>* write) {
  plat::LockGuard lock(completionMutex_);
  read->swap(readCompletion_);
  write->swap(writeCompletion_);
  readCompletion_.reset();
  writeCompletion_.reset();
}

void USBChannel::run() {
  ioThread_ = std::this_thread::get_id();
  const bool ready = txEvent_.valid() && wake_.valid() && setUp();
  if (!ready) {
    // Reported like any channel, but silent until the device goes.
    device_.reset();
    started_.set();
    return;
  }
  started_.set();
  const bool clean = transfer();
  if (!clean) VLN_TRACE(kUsb, "%s: channel %u ends on an I/O failure", path_.c_str(), index_);
  drainTransfers();
  device_.reset();
  if (!clean) owner_->channelFailed(index_);
}

bool USBChannel::setUp() {
  const char* path = path_.c_str();
  device_ = bus_->open(path_, this);
  if (!device_) {
    VLN_TRACE(kUsb, "%s: refused: the device cannot be opened", path);
    return false;
  }
  if (!device_->bulkPipes(&inMaxPacket_, &outMaxPacket_) || inMaxPacket_ == 0 ||
      outMaxPacket_ == 0) {
    VLN_TRACE(kUsb, "%s: refused: no bulk IN and OUT pipe pair (packet sizes %u/%u)", path,
              unsigned(inMaxPacket_), unsigned(outMaxPacket_));
    return false;
  }
  uint8_t bytes[kLinkDescriptorLength] = {};
  const ControlSetup get{kLinkDescriptorRequestType, kLinkDescriptorRequest, kLinkDescriptorValue,
                         0, kLinkDescriptorLength};
  LinkDescriptor descriptor;
  const int n = device_->controlTransfer(get, bytes);
  if (n != int(kLinkDescriptorLength) || !parseLinkDescriptor(bytes, size_t(n), &descriptor)) {
    if (n < 0)
      VLN_TRACE(kUsb, "%s: refused: the link descriptor request failed", path);
    else
      VLN_TRACE(kUsb,
                "%s: refused: link descriptor %s (%d bytes; want 6 with magic 0xAC1F and "
                "a transfer size of at least %u)",
                path,
                plat::traceHex(bytes, size_t(std::min<int>(n, int(kLinkDescriptorLength)))).c_str(),
                n, unsigned(kMinTransferSize));
    return false;
  }
  VLN_TRACE(kUsb, "%s: link descriptor accepted: transfer size %u, frame limit %u, packets %u/%u",
            path, unsigned(descriptor.transferSize), unsigned(descriptor.frameLimit()),
            unsigned(inMaxPacket_), unsigned(outMaxPacket_));
  transferSize_ = descriptor.transferSize;
  device_->setTransferSize(transferSize_);
  splitter_ = std::make_unique<RecordSplitter>(wholePackets(transferSize_, inMaxPacket_));
  txBuffer_.assign(size_t(transferSize_) + kTxSlack, 0);
  device_->resetPipes();
  frameLimit_ = descriptor.frameLimit();
  return true;
}

bool USBChannel::startRead() {
  if (!device_->startRead(splitter_->readSpace(), splitter_->readLength())) {
    VLN_TRACE(kUsb, "%s: a bulk read could not be started", path_.c_str());
    return false;
  }
  readPending_ = true;
  return true;
}

bool USBChannel::transfer() {
  if (!startRead()) return false;
  auto idleAt = Clock::now() + std::chrono::milliseconds(kIdlePeriodMs);
  // Turns in a row that went on from completions booked on this thread
  // without looking at the events and the device.
  int ownTurns = 0;
  for (;;) {
    // What this thread completed itself is taken without a poll, a few
    // turns in a row at most, so that a bus completing at once cannot starve
    // the transmit requests and the device's socket.
    const bool look = !ownCompletion_ || ++ownTurns > kOwnTurnsLimit;
    if (look) {
      ownTurns = 0;
      const PollInterest interest = device_->pollInterest();
      plat::PollItem items[3];
      items[0] = {txEvent_.handle(), plat::kPollRead, 0};
      items[1] = {wake_.handle(), plat::kPollRead, 0};
      items[2] = {interest.handle,
                  (interest.read ? plat::kPollRead : 0u) | (interest.write ? plat::kPollWrite : 0u),
                  0};
      int timeout = -1;
      if (ownCompletion_) {
        timeout = 0;
      } else if (!writePending_) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(idleAt - Clock::now()).count();
        timeout = int(std::max<int64_t>(left, 0));
      }
      // A completion booked by another thread after this keeps the poll
      // from blocking (it sets the wake event); one booked before it is
      // taken without sleeping.
      if (timeout != 0 && !goToSleep()) timeout = 0;
      const int polled = plat::pollHandles(items, 3, timeout);
      if (timeout != 0) wakeUp();
      if (polled < 0) {
        VLN_TRACE(kUsb, "%s: waiting failed", path_.c_str());
        return false;
      }
      // Cleared before the completions are taken: one booked from here on
      // keeps the next wait from blocking.
      ownCompletion_ = false;

      if (items[2].ready != 0 && !device_->service()) {
        VLN_TRACE(kUsb, "%s: the device is gone or broke the bus protocol", path_.c_str());
        return false;
      }
      if (items[0].ready != 0 && txEvent_.consume()) txWanted_ = true;
      if (items[1].ready != 0) wake_.consume();
    } else {
      ownCompletion_ = false;
    }

    std::optional<Completion> read, write;
    takeCompletions(&read, &write);
    // Both completions are booked before either failure ends the loop, so
    // the drain afterwards waits only for transfers still out.
    const bool readOk = !read || handleRead(*read);
    const bool writeOk = !write || handleWrite(*write);
    if (!readOk || !writeOk) return false;
    if (stopRequested()) return true;
    if (writePending_) continue;

    // Pacing: the server is asked for frames when it has asked to send, when
    // the last transfer was cut short for room, or once per idle period.
    // A write completion alone asks for nothing, so a bus on which writes
    // complete at once cannot turn the loop into a spin.
    if (txWanted_ || moreToSend_) {
      if (!fetch(false)) return false;
      idleAt = Clock::now() + std::chrono::milliseconds(kIdlePeriodMs);
    } else if (Clock::now() >= idleAt) {
      if (!fetch(true)) return false;
      idleAt = Clock::now() + std::chrono::milliseconds(kIdlePeriodMs);
    }
  }
}

bool USBChannel::handleRead(const Completion& c) {
  readPending_ = false;
  if (c.status != TransferStatus::kDone) {
    VLN_TRACE(kUsb, "%s: bulk read %s", path_.c_str(),
              c.status == TransferStatus::kCancelled ? "cancelled" : "failed");
    return false;
  }
  if (c.bytes > 0) {
    plat::LockGuard lock(callbackMutex_);
    // Without rx the frames are dropped, but the records are still walked so
    // that a later connect starts on a record boundary.
    const ChannelRxCallback rx = rx_;
    void* const context = context_;
    splitter_->consume(c.bytes, [rx, context](uint8_t* frame, uint16_t length) {
      if (rx) rx(context, frame, &length);
    });
  }
  // Also after an empty read: a channel without a pending read hears nothing.
  return startRead();
}

bool USBChannel::handleWrite(const Completion& c) {
  if (c.status != TransferStatus::kDone || c.bytes != writeLength_) {
    VLN_TRACE(kUsb, "%s: bulk write %s (%zu of %zu bytes)", path_.c_str(),
              c.status == TransferStatus::kDone        ? "short"
              : c.status == TransferStatus::kCancelled ? "cancelled"
                                                       : "failed",
              c.bytes, size_t(writeLength_));
    writePending_ = false;
    return false;
  }
  if (zeroPacketDue_) {
    zeroPacketDue_ = false;
    writeLength_ = 0;
    if (!device_->startWrite(txBuffer_.data(), 0)) {
      writePending_ = false;
      return false;
    }
    return true;
  }
  writePending_ = false;
  return true;
}

bool USBChannel::fetch(bool idle) {
  txWanted_ = false;
  moreToSend_ = false;
  const uint16_t limit = frameLimit_.load();
  PackResult packed;
  {
    plat::LockGuard lock(callbackMutex_);
    if (!tx_) return true;
    const ChannelTxCallback tx = tx_;
    void* const context = context_;
    packed = packTransfer(txBuffer_.data(), transferSize_, limit, idle,
                          [tx, context](uint8_t* destination, uint16_t* length, int mode) {
                            tx(context, destination, length, mode);
                          });
  }
  if (packed.overrun) {
    VLN_TRACE(kUsb, "%s: the server wrote a frame longer than the room offered", path_.c_str());
    return false;
  }
  if (packed.length == 0) return true;
  writeLength_ = packed.length;
  zeroPacketDue_ = needsZeroLengthPacket(packed.length, outMaxPacket_);
  if (!device_->startWrite(txBuffer_.data(), packed.length)) {
    VLN_TRACE(kUsb, "%s: a bulk write could not be started", path_.c_str());
    return false;
  }
  writePending_ = true;
  moreToSend_ = packed.full;
  return true;
}

void USBChannel::drainTransfers() {
  if (!readPending_ && !writePending_) return;
  // The buffers stay until every transfer has come back, or until the device
  // is closed: a transfer still owned by the bus may be written into.
  device_->cancelTransfers();
  const auto giveUpAt = Clock::now() + kDrainLimit;
  for (;;) {
    // First what the cancel (or the last service) completed on this thread.
    ownCompletion_ = false;
    std::optional<Completion> read, write;
    takeCompletions(&read, &write);
    if (read) readPending_ = false;
    if (write) writePending_ = false;
    if (!readPending_ && !writePending_) return;
    if (Clock::now() >= giveUpAt) {
      VLN_TRACE(kUsb, "%s: the cancelled %s not back after %lld s; closing the device without it",
                path_.c_str(),
                readPending_ && writePending_ ? "read and write are"
                : readPending_                ? "read is"
                                              : "write is",
                static_cast<long long>(kDrainLimit.count()));
      device_->keepWhileOut(std::make_shared<AbandonedBuffers>(
          AbandonedBuffers{std::move(splitter_), std::move(txBuffer_)}));
      return;
    }
    const PollInterest interest = device_->pollInterest();
    plat::PollItem items[2];
    items[0] = {wake_.handle(), plat::kPollRead, 0};
    items[1] = {interest.handle, interest.read ? plat::kPollRead : 0u, 0};
    const int timeout = goToSleep() ? 1000 : 0;
    const int polled = plat::pollHandles(items, 2, timeout);
    if (timeout != 0) wakeUp();
    if (polled < 0) {
      // Nothing to wait with; give the bus time rather than free under it.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (items[1].ready != 0) device_->service();
    wake_.consume();
  }
}

}  // namespace usblink
