#include "FakeVbusDevice.h"

#include <chrono>

#include "plat/poll.h"
#include "plat/vbus.h"
#include "usblink/VbusRecords.h"

namespace usblink::test {

FakeVbusDevice::FakeVbusDevice(std::string dir, std::string id, Options options)
    : dir_(std::move(dir)), id_(std::move(id)), options_(std::move(options)) {}

FakeVbusDevice::~FakeVbusDevice() {
  if (thread_.joinable()) {
    {
      plat::LockGuard lock(mutex_);
      commands_.push_back(Command::kStop);
    }
    wake_.set();
    thread_.join();
  }
  closeConnection();
  if (listener_ != plat::kInvalidHandle) plat::vbusUnpublish(dir_, id_, listener_);
}

bool FakeVbusDevice::plugIn() {
  if (plat::vbusPublish(dir_, id_, &listener_) != 0) return false;
  thread_ = std::thread([this] { serve(); });
  return true;
}

void FakeVbusDevice::sendIn(const Bytes& payload) {
  {
    plat::LockGuard lock(mutex_);
    outbox_.push_back(payload);
  }
  wake_.set();
}

void FakeVbusDevice::dropConnection() {
  {
    plat::LockGuard lock(mutex_);
    commands_.push_back(Command::kDrop);
  }
  wake_.set();
}

void FakeVbusDevice::unlinkSocket() {
  {
    plat::LockGuard lock(mutex_);
    commands_.push_back(Command::kUnlink);
  }
  wake_.set();
}

bool FakeVbusDevice::waitConnected(int ms) const {
  plat::UniqueLock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                           [&]() REQUIRES(mutex_) { return connected_; });
}

bool FakeVbusDevice::waitDisconnected(int ms) const {
  plat::UniqueLock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                           [&]() REQUIRES(mutex_) { return everConnected_ && !connected_; });
}

bool FakeVbusDevice::waitOut(size_t count, int ms) const {
  plat::UniqueLock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                           [&]() REQUIRES(mutex_) { return out_.size() >= count; });
}

std::vector<FakeVbusDevice::Bytes> FakeVbusDevice::out() const {
  plat::LockGuard lock(mutex_);
  return out_;
}

int FakeVbusDevice::descriptorRequests() const {
  plat::LockGuard lock(mutex_);
  return descriptorRequests_;
}

void FakeVbusDevice::send(const Bytes& record) {
  if (connection_ == plat::kInvalidHandle) return;
  if (plat::vbusSend(connection_, record.data(), record.size(), 5000) != plat::VbusIo::kDone)
    closeConnection();
}

void FakeVbusDevice::closeConnection() {
  if (connection_ == plat::kInvalidHandle) return;
  plat::closeHandle(connection_);
  connection_ = plat::kInvalidHandle;
  plat::LockGuard lock(mutex_);
  connected_ = false;
  changed_.notify_all();
}

void FakeVbusDevice::handleRecord(const Bytes& record) {
  if (record[0] == vbus::kBulkOut) {
    plat::LockGuard lock(mutex_);
    out_.emplace_back(record.begin() + 1, record.end());
    changed_.notify_all();
    return;
  }
  if (record[0] != vbus::kControl || record.size() < vbus::kControlHeader) return;
  const bool descriptor = record[1] == 0x80 && record[2] == 6 && record[3] == 0x00 &&
                          record[4] == 0x80 && record[5] == 0 && record[6] == 0 && record[7] == 6 &&
                          record[8] == 0;
  if (!descriptor) {
    send({vbus::kControlAnswer, vbus::kStatusStall});
    return;
  }
  {
    plat::LockGuard lock(mutex_);
    ++descriptorRequests_;
  }
  for (const Bytes& early : options_.earlyIn) {
    Bytes in = {vbus::kBulkIn};
    in.insert(in.end(), early.begin(), early.end());
    send(in);
  }
  Bytes answer = {vbus::kControlAnswer,
                  vbus::kStatusOk,
                  0x06,
                  0x80,
                  uint8_t(options_.magic),
                  uint8_t(options_.magic >> 8),
                  uint8_t(options_.transferSize),
                  uint8_t(options_.transferSize >> 8)};
  answer.resize(answer.size() + options_.answerExtra, 0);
  send(answer);
}

void FakeVbusDevice::serve() {
  Bytes buffer(vbus::kMaxRecord);
  for (;;) {
    std::deque<Command> commands;
    std::deque<Bytes> outbox;
    {
      plat::LockGuard lock(mutex_);
      commands.swap(commands_);
      if (connection_ != plat::kInvalidHandle) outbox.swap(outbox_);
    }
    for (Command c : commands) {
      switch (c) {
        case Command::kStop:
          return;
        case Command::kDrop:
          closeConnection();
          break;
        case Command::kUnlink:
          plat::vbusUnpublish(dir_, id_, listener_);
          listener_ = plat::kInvalidHandle;
          break;
      }
    }
    for (const Bytes& payload : outbox) {
      Bytes in = {vbus::kBulkIn};
      in.insert(in.end(), payload.begin(), payload.end());
      send(in);
    }

    plat::PollItem items[3] = {
        {wake_.handle(), plat::kPollRead, 0},
        {connection_ == plat::kInvalidHandle ? listener_ : plat::kInvalidHandle, plat::kPollRead,
         0},
        {connection_, plat::kPollRead, 0}};
    if (plat::pollHandles(items, 3, -1) < 0) return;
    if (items[0].ready) wake_.consume();
    if (items[1].ready) {
      plat::Handle c = plat::kInvalidHandle;
      if (plat::vbusAccept(listener_, &c, 0) == 0) {
        connection_ = c;
        plat::LockGuard lock(mutex_);
        connected_ = everConnected_ = true;
        changed_.notify_all();
      }
    }
    if (items[2].ready) {
      for (;;) {
        size_t n = 0;
        const plat::VbusIo io = plat::vbusReceive(connection_, buffer.data(), buffer.size(), &n, 0);
        if (io == plat::VbusIo::kTimeout) break;
        if (io != plat::VbusIo::kDone) {
          closeConnection();
          break;
        }
        handleRecord(Bytes(buffer.begin(), buffer.begin() + long(n)));
        if (connection_ == plat::kInvalidHandle) break;
      }
    }
  }
}

}  // namespace usblink::test
