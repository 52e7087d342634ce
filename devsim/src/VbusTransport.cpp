#include "devsim/VbusTransport.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "base/ByteReader.h"
#include "plat/errors.h"
#include "plat/poll.h"
#include "plat/thread.h"
#include "plat/vbus.h"
#include "usblink/VbusRecords.h"

namespace devsim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kIdentityAnswer = 0xC7;
constexpr size_t kIdentityAnswerLength = 17;
constexpr size_t kMaxFrame = 255;  // what one record's length byte can say
constexpr uint16_t kMinTransferSize = 4;
// The link descriptor: GET_DESCRIPTOR, type 0x80 index 0.
constexpr uint8_t kDescriptorRequestType = 0x80;
constexpr uint8_t kDescriptorRequest = 6;
constexpr uint16_t kDescriptorValue = 0x8000;
constexpr uint16_t kLinkMagic = 0xAC1F;
// A host that does not take a control answer for this long is gone.
constexpr int kAnswerSendMs = 1000;
// Records taken from the host before the thread looks at its own sending.
constexpr int kReceiveBatch = 64;
constexpr int kRepublishRetryMs = 500;

}  // namespace

VbusTransport::VbusTransport(VbusOptions options, FrameSink sink, Listener listener)
    : options_(std::move(options)),
      sink_(std::move(sink)),
      onEvent_(std::move(listener)),
      receive_(vbus::kMaxRecord) {}

VbusTransport::~VbusTransport() { unplug(); }

void VbusTransport::notify(Event event) {
  if (onEvent_) onEvent_(event);
}

int VbusTransport::publish() {
  int rc = plat::vbusPublish(options_.dir, options_.id, &listenSocket_);
  if (rc != plat::kErrorAlreadyExists) return rc;
  // A file of that name: a live device, or what one left when it died.
  plat::Handle probe = plat::kInvalidHandle;
  if (plat::vbusConnect(options_.dir + "/" + options_.id + ".sock", 0, &probe) == 0) {
    plat::closeHandle(probe);
    return plat::kErrorAlreadyExists;
  }
  std::error_code ec;
  std::filesystem::remove(options_.dir + "/" + options_.id + ".sock", ec);
  return plat::vbusPublish(options_.dir, options_.id, &listenSocket_);
}

int VbusTransport::plugIn() {
  if (options_.transferSize < kMinTransferSize) return plat::kErrorInvalidParameter;
  if (!wake_.valid()) return plat::kErrorNotEnoughMemory;
  {
    plat::LockGuard lock(mutex_);
    if (running_) return 0;
  }
  const int rc = publish();
  if (rc != 0) return rc;
  notify(Event::kPluggedIn);
  plat::LockGuard lock(mutex_);
  running_ = true;
  stopping_ = false;
  replugMs_ = -1;
  thread_ = std::thread([this] { run(); });
  return 0;
}

void VbusTransport::unplug() {
  std::thread thread;
  {
    plat::LockGuard lock(mutex_);
    if (!running_) return;
    running_ = false;
    stopping_ = true;
    thread = std::move(thread_);
  }
  drained_.notify_all();
  wake_.set();
  thread.join();
  if (listenSocket_ != plat::kInvalidHandle) {
    plat::vbusUnpublish(options_.dir, options_.id, listenSocket_);
    listenSocket_ = plat::kInvalidHandle;
    notify(Event::kUnplugged);
  }
}

void VbusTransport::replug(uint32_t offMs) {
  {
    plat::LockGuard lock(mutex_);
    if (!running_) return;
    replugMs_ = int(std::min<uint32_t>(offMs, 60000));
  }
  wake_.set();
}

bool VbusTransport::hostConnected() const {
  plat::LockGuard lock(mutex_);
  return connected_;
}

void VbusTransport::sendFrame(const uint8_t* frame, size_t length) {
  if (length == 0 || length > kMaxFrame) return;
  bool wake = false;
  {
    plat::UniqueLock lock(mutex_);
    // The I/O thread drains the backlog, so on it the wait would never end.
    if (std::this_thread::get_id() != thread_.get_id()) {
      drained_.wait(lock, [&]() REQUIRES(mutex_) {
        return !connected_ || stopping_ || pending_.size() < options_.backlogLimit;
      });
    }
    if (!connected_ || stopping_) return;
    // The I/O thread takes everything that is pending when it wakes, so only
    // the first record of a batch needs to wake it.
    wake = pending_.empty();
    pending_.push_back(uint8_t(length));
    pending_.insert(pending_.end(), frame, frame + length);
    if (frame[0] == kIdentityAnswer && length == kIdentityAnswerLength) {
      linkUpDue_ = true;
      wake = true;
    }
  }
  if (wake) wake_.set();
}

// ---- I/O thread ----

void VbusTransport::run() {
  plat::setCurrentThreadName("devsim-vbus");
  for (;;) {
    int replugMs;
    {
      plat::LockGuard lock(mutex_);
      if (stopping_) break;
      replugMs = replugMs_;
      replugMs_ = -1;
    }
    if (replugMs >= 0) {
      goOffBus(replugMs);
      continue;
    }
    if (driver_ != nullptr && connection_ == plat::kInvalidHandle) {
      driver_->drive();
      dropDeviceFrames();
    } else if (connection_ != plat::kInvalidHandle && !(driver_ ? runDevice() : flushOut())) {
      dropHost();
      continue;
    }
    const bool connected = connection_ != plat::kInvalidHandle;
    plat::PollItem items[3];
    items[0] = {wake_.handle(), plat::kPollRead, 0};
    items[1] = {connected ? plat::kInvalidHandle : listenSocket_, plat::kPollRead, 0};
    items[2] = {connection_, plat::kPollRead | (bulkInWaiting_ ? plat::kPollWrite : 0u), 0};
    if (plat::pollHandles(items, 3, -1) < 0) break;
    if (items[0].ready != 0) wake_.consume();
    if (items[1].ready != 0) accept();
    if (items[2].ready != 0 && !receiveAll()) dropHost();
  }
  dropHost();
}

void VbusTransport::accept() {
  plat::Handle connection = plat::kInvalidHandle;
  if (plat::vbusAccept(listenSocket_, &connection, 0) != 0) return;
  connection_ = connection;
  carry_.clear();
  {
    plat::LockGuard lock(mutex_);
    connected_ = true;
  }
  notify(Event::kHostConnected);
}

void VbusTransport::dropHost() {
  if (connection_ == plat::kInvalidHandle) return;
  plat::closeHandle(connection_);
  connection_ = plat::kInvalidHandle;
  {
    plat::LockGuard lock(mutex_);
    connected_ = false;
    pending_.clear();
    linkUpDue_ = false;
  }
  drained_.notify_all();
  sending_.clear();
  sendingOffset_ = 0;
  bulkIn_.clear();
  bulkInWaiting_ = false;
  carry_.clear();
  if (driver_) dropDeviceFrames();
  notify(Event::kHostGone);
}

void VbusTransport::goOffBus(int offMs) {
  dropHost();
  if (listenSocket_ != plat::kInvalidHandle) {
    plat::vbusUnpublish(options_.dir, options_.id, listenSocket_);
    listenSocket_ = plat::kInvalidHandle;
    notify(Event::kUnplugged);
  }
  auto until = Clock::now() + std::chrono::milliseconds(offMs);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left > 0) {
      plat::PollItem item{wake_.handle(), plat::kPollRead, 0};
      plat::pollHandles(&item, 1, int(left));
      wake_.consume();
    }
    {
      plat::LockGuard lock(mutex_);
      if (stopping_) return;
      // A second replug while off the bus starts the wait afresh.
      if (replugMs_ >= 0) {
        until = Clock::now() + std::chrono::milliseconds(replugMs_);
        replugMs_ = -1;
        continue;
      }
    }
    if (Clock::now() < until) continue;
    if (publish() == 0) {
      notify(Event::kPluggedIn);
      return;
    }
    until = Clock::now() + std::chrono::milliseconds(kRepublishRetryMs);
  }
}

bool VbusTransport::receiveAll() {
  for (int i = 0; i < kReceiveBatch; ++i) {
    size_t n = 0;
    switch (plat::vbusReceive(connection_, receive_.data(), receive_.size(), &n, 0)) {
      case plat::VbusIo::kDone:
        if (!handleRecord(receive_.data(), n)) return false;
        break;
      case plat::VbusIo::kTimeout:
        return true;
      default:
        return false;  // the host closed, or sent what no host sends
    }
  }
  return true;
}

bool VbusTransport::handleRecord(const uint8_t* record, size_t length) {
  switch (record[0]) {
    case vbus::kControl:
      return answerControl(record, length);
    case vbus::kBulkOut:
      splitBulkOut(record + 1, length - 1);
      return true;
    default:
      return true;  // nothing a device acts on
  }
}

bool VbusTransport::answerControl(const uint8_t* record, size_t length) {
  // Every control record gets exactly one answer; what cannot be parsed or
  // is not the link descriptor request is stalled.
  uint8_t answer[vbus::kAnswerHeader + 6] = {vbus::kControlAnswer, vbus::kStatusStall};
  size_t answerLength = vbus::kAnswerHeader;
  if (length >= vbus::kControlHeader) {
    base::ByteReader setup(record + 1, vbus::kControlHeader - 1);
    const uint8_t requestType = setup.u8();
    const uint8_t request = setup.u8();
    const uint16_t value = setup.u16();
    const uint16_t index = setup.u16();
    const uint16_t wanted = setup.u16();
    if (requestType == kDescriptorRequestType && request == kDescriptorRequest &&
        value == kDescriptorValue && index == 0) {
      // Length, descriptor type (the high byte of wValue), magic, transfer size.
      const std::vector<uint8_t> descriptor = base::ByteWriter()
                                                  .u8(6)
                                                  .u8(uint8_t(kDescriptorValue >> 8))
                                                  .u16(kLinkMagic)
                                                  .u16(uint16_t(options_.transferSize))
                                                  .take();
      const size_t n = std::min<size_t>(descriptor.size(), wanted);
      answer[1] = vbus::kStatusOk;
      std::copy(descriptor.begin(), descriptor.begin() + std::ptrdiff_t(n),
                answer + vbus::kAnswerHeader);
      answerLength += n;
    }
  }
  return plat::vbusSend(connection_, answer, answerLength, kAnswerSendMs) == plat::VbusIo::kDone;
}

size_t VbusTransport::walkRecords(const uint8_t* data, size_t length) {
  size_t offset = 0;
  while (offset < length) {
    const size_t n = data[offset];
    if (offset + 1 + n > length) break;  // finishes in the next transfer
    if (n > 0) sink_(data + offset + 1, n);
    offset += 1 + n;
  }
  return offset;
}

void VbusTransport::splitBulkOut(const uint8_t* data, size_t length) {
  // An empty transfer is the zero-length packet after a transfer of whole
  // packets: it ends that transfer and carries no frames.
  if (length == 0) return;
  if (carry_.empty()) {
    const size_t used = walkRecords(data, length);
    carry_.assign(data + used, data + length);
    return;
  }
  carry_.insert(carry_.end(), data, data + length);
  const size_t used = walkRecords(carry_.data(), carry_.size());
  carry_.erase(carry_.begin(), carry_.begin() + long(used));
}

bool VbusTransport::flushOut() {
  for (;;) {
    if (bulkInWaiting_) {
      switch (plat::vbusSend(connection_, bulkIn_.data(), bulkIn_.size(), 0)) {
        case plat::VbusIo::kDone:
          bulkInWaiting_ = false;
          break;
        case plat::VbusIo::kTimeout:
          return true;  // the host is not reading: wait until it does
        default:
          return false;
      }
    }
    if (sendingOffset_ == sending_.size()) {
      sending_.clear();
      sendingOffset_ = 0;
      bool linkUp;
      {
        plat::LockGuard lock(mutex_);
        sending_.swap(pending_);
        linkUp = linkUpDue_;
        linkUpDue_ = false;
      }
      drained_.notify_all();
      if (linkUp) notify(Event::kLinkUp);
      if (sending_.empty()) return true;
    }
    const size_t n = std::min<size_t>(options_.transferSize, sending_.size() - sendingOffset_);
    bulkIn_.assign(1, vbus::kBulkIn);
    bulkIn_.insert(bulkIn_.end(), sending_.begin() + long(sendingOffset_),
                   sending_.begin() + long(sendingOffset_ + n));
    sendingOffset_ += n;
    bulkInWaiting_ = true;
  }
}

// ---- the driven device ----

bool VbusTransport::runDevice() {
  driver_->drive();
  for (;;) {
    const bool more = takeFrames();
    if (!flushOut()) return false;
    // The socket is full (its turning writable brings the thread back), or
    // the device has nothing more until the next read or wake-up.
    if (!more || bulkInWaiting_) return true;
  }
}

bool VbusTransport::takeFrames() {
  if (sendingOffset_ > 0) {
    sending_.erase(sending_.begin(), sending_.begin() + long(sendingOffset_));
    sendingOffset_ = 0;
  }
  bool linkUp = false;
  bool more = true;
  while (sending_.size() < options_.backlogLimit) {
    if (!driver_->takeFrame(&frame_)) {
      more = false;
      break;
    }
    if (frame_.empty() || frame_.size() > kMaxFrame) continue;
    sending_.push_back(uint8_t(frame_.size()));
    sending_.insert(sending_.end(), frame_.begin(), frame_.end());
    if (frame_[0] == kIdentityAnswer && frame_.size() == kIdentityAnswerLength) linkUp = true;
  }
  if (linkUp) notify(Event::kLinkUp);
  return more;
}

void VbusTransport::dropDeviceFrames() {
  while (driver_->takeFrame(&frame_)) {
  }
}

}  // namespace devsim
