#include "VbusBus.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "DevicePath.h"
#include "base/ByteReader.h"
#include "plat/poll.h"
#include "plat/trace.h"
#include "plat/vbus.h"
#include "usblink/VbusRecords.h"

namespace usblink {

// ---- VbusDevice ----

VbusDevice::VbusDevice(plat::Handle connection, TransferSink* sink)
    : fd_(connection), sink_(sink), receiveBuffer_(vbus::kMaxRecord) {}

VbusDevice::~VbusDevice() { plat::closeHandle(fd_); }

bool VbusDevice::bulkPipes(uint16_t* inMaxPacket, uint16_t* outMaxPacket) {
  *inMaxPacket = vbus::kMaxPacket;
  *outMaxPacket = vbus::kMaxPacket;
  return true;
}

int VbusDevice::controlTransfer(const ControlSetup& setup, uint8_t* data) {
  if (broken_) return -1;
  const bool in = (setup.requestType & 0x80) != 0;
  std::vector<uint8_t> record = base::ByteWriter()
                                    .u8(vbus::kControl)
                                    .u8(setup.requestType)
                                    .u8(setup.request)
                                    .u16(setup.value)
                                    .u16(setup.index)
                                    .u16(setup.length)
                                    .take();
  if (!in && setup.length > 0) record.insert(record.end(), data, data + setup.length);
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(vbus::kControlTimeoutMs);
  auto left = [&] {
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::max<int64_t>(ms, 0));
  };
  if (plat::vbusSend(fd_, record.data(), record.size(), left()) != plat::VbusIo::kDone) {
    VLN_TRACE(kVbus, "control request 0x%02X/%u: cannot be sent", unsigned(setup.requestType),
              unsigned(setup.request));
    broken_ = true;
    return -1;
  }
  for (;;) {
    size_t n = 0;
    const plat::VbusIo io =
        plat::vbusReceive(fd_, receiveBuffer_.data(), receiveBuffer_.size(), &n, left());
    if (io == plat::VbusIo::kTimeout) {  // a late answer is dropped as unasked-for
      VLN_TRACE(kVbus, "control request 0x%02X/%u: no answer within %d ms",
                unsigned(setup.requestType), unsigned(setup.request), vbus::kControlTimeoutMs);
      return -1;
    }
    if (io != plat::VbusIo::kDone) {
      VLN_TRACE(kVbus, "control request 0x%02X/%u: the connection ended",
                unsigned(setup.requestType), unsigned(setup.request));
      broken_ = true;
      return -1;
    }
    if (receiveBuffer_[0] != vbus::kControlAnswer) {
      if (!acceptRecord(receiveBuffer_.data(), n, n, nullptr) ||
          bulkIn_.size() > kControlQueueLimit) {
        broken_ = true;
        return -1;
      }
      continue;
    }
    if (n < vbus::kAnswerHeader) {
      broken_ = true;
      return -1;
    }
    const size_t answered = n - vbus::kAnswerHeader;
    if (answered > setup.length) {
      VLN_TRACE(kVbus, "control answer of %zu bytes for wLength %u: connection dropped", answered,
                unsigned(setup.length));
      broken_ = true;
      return -1;
    }
    if (receiveBuffer_[1] != vbus::kStatusOk) {
      VLN_TRACE(kVbus, "control request 0x%02X/%u value 0x%04X: stalled",
                unsigned(setup.requestType), unsigned(setup.request), unsigned(setup.value));
      return -1;
    }
    if (!in) return setup.length;
    std::memcpy(data, receiveBuffer_.data() + vbus::kAnswerHeader, answered);
    return int(answered);
  }
}

void VbusDevice::setTransferSize(size_t size) {
  transferSize_ = size;
  spare_.clear();  // sized for the old transfer size
  for (const auto& record : bulkIn_)
    if (record.length - 1 > transferSize_) broken_ = true;
}

bool VbusDevice::acceptRecord(const uint8_t* record, size_t length, size_t available,
                              std::vector<uint8_t>* owner) {
  if (length == 0) return false;
  if (length > vbus::kMaxRecord) {
    VLN_TRACE(kVbus, "the device's connection ended");
    return false;
  }
  switch (record[0]) {
    case vbus::kBulkIn: {
      const size_t payload = length - 1;
      if (payload == 0) return true;  // no bytes, no transfer
      if (payload > transferSize_ || length > available) {
        VLN_TRACE(kVbus,
                  "bulk in record of %zu bytes, over the transfer size %zu: connection "
                  "dropped",
                  payload, transferSize_);
        return false;
      }
      if (owner)
        bulkIn_.push_back(InRecord{std::move(*owner), length});
      else
        bulkIn_.push_back(InRecord{std::vector<uint8_t>(record, record + length), length});
      return true;
    }
    default:
      // An answer nobody waits for any more, or a record type this host does
      // not know: nothing to act on.
      return true;
  }
}

std::vector<uint8_t> VbusDevice::takeBuffer() {
  const size_t size = transferSize_ + 1;
  if (spare_.empty()) return std::vector<uint8_t>(size);
  std::vector<uint8_t> buffer = std::move(spare_.back());
  spare_.pop_back();
  buffer.resize(size);
  return buffer;
}

void VbusDevice::receiveAvailable() {
  // The records go straight into the buffers they wait in, a batch per call;
  // a batch that did not fill shows the socket empty without another call.
  while (!broken_ && bulkIn_.size() < kQueueLimit) {
    const size_t batch = std::min(kReceiveBatch, kQueueLimit - bulkIn_.size());
    std::vector<uint8_t> buffers[kReceiveBatch];
    plat::VbusRecord records[kReceiveBatch];
    for (size_t i = 0; i < batch; ++i) {
      buffers[i] = takeBuffer();
      records[i].data = buffers[i].data();
      records[i].capacity = buffers[i].size();
    }
    size_t n = 0;
    const plat::VbusIo io = plat::vbusReceiveMany(fd_, records, batch, &n);
    for (size_t i = 0; i < n && !broken_; ++i) {
      const size_t available = std::min(records[i].length, records[i].capacity);
      if (!acceptRecord(buffers[i].data(), records[i].length, available, &buffers[i]))
        broken_ = true;
    }
    for (size_t i = 0; i < batch; ++i)
      if (!buffers[i].empty()) spare_.push_back(std::move(buffers[i]));
    if (io == plat::VbusIo::kTimeout) return;
    if (io != plat::VbusIo::kDone) {
      VLN_TRACE(kVbus, "the device's connection ended");
      broken_ = true;
    }
    if (n < batch) return;
  }
}

void VbusDevice::completeRead() {
  if (!readPending_ || bulkIn_.empty()) return;
  // One record per completion, never two merged; a record longer than the
  // read is handed out over several reads.
  InRecord& front = bulkIn_.front();
  const size_t payload = front.length - 1;
  const size_t n = std::min(readLength_, payload - frontUsed_);
  std::memcpy(readBuffer_, front.bytes.data() + 1 + frontUsed_, n);
  frontUsed_ += n;
  if (frontUsed_ == payload) {
    if (front.bytes.size() == transferSize_ + 1) spare_.push_back(std::move(front.bytes));
    bulkIn_.pop_front();
    frontUsed_ = 0;
  }
  readPending_ = false;
  sink_->readDone(TransferStatus::kDone, n);
}

bool VbusDevice::startRead(uint8_t* buffer, size_t length) {
  if (broken_ || readPending_ || length == 0) return false;
  readBuffer_ = buffer;
  readLength_ = length;
  readPending_ = true;
  completeRead();
  return true;
}

void VbusDevice::trySend() {
  const size_t payload = outLength_;
  const uint8_t type = vbus::kBulkOut;
  switch (plat::vbusSendParts(fd_, &type, 1, outData_, outLength_, 0)) {
    case plat::VbusIo::kDone:
      writePending_ = false;
      sink_->writeDone(TransferStatus::kDone, payload);
      return;
    case plat::VbusIo::kTimeout:
      writePending_ = true;  // the device is not reading: wait for room, as a NAK would
      return;
    default:
      VLN_TRACE(kVbus, "bulk out record cannot be sent: the connection ended");
      writePending_ = false;
      broken_ = true;
      sink_->writeDone(TransferStatus::kFailed, 0);
      return;
  }
}

bool VbusDevice::startWrite(const uint8_t* data, size_t length) {
  if (broken_ || writePending_) return false;
  outData_ = data;
  outLength_ = length;
  trySend();
  return true;
}

void VbusDevice::cancelTransfers() {
  if (readPending_) {
    readPending_ = false;
    sink_->readDone(TransferStatus::kCancelled, 0);
  }
  if (writePending_) {
    writePending_ = false;
    sink_->writeDone(TransferStatus::kCancelled, 0);
  }
}

PollInterest VbusDevice::pollInterest() {
  return {fd_, bulkIn_.size() < kQueueLimit, writePending_};
}

bool VbusDevice::service() {
  receiveAvailable();
  if (writePending_ && !broken_) trySend();
  completeRead();
  return !broken_;
}

// ---- VbusBus ----

VbusBus::VbusBus(std::string dir) : dir_(std::move(dir)) {}

VbusBus::~VbusBus() { stop(); }

std::string VbusBus::pathOfFile(const std::string& name) {
  static const std::string kSuffix = ".sock";
  if (name.size() <= kSuffix.size() ||
      name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
    return {};
  const std::string id = name.substr(0, name.size() - kSuffix.size());
  if (!plat::vbusValidId(id)) return {};
  return "VBUS\\" + upperAscii(id);
}

std::map<std::string, std::string> VbusBus::scan() const {
  std::map<std::string, std::string> found;
  std::error_code ec;
  std::vector<std::string> names;
  for (auto it = std::filesystem::directory_iterator(dir_, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    names.push_back(it->path().filename().string());
  // Ids are unique ignoring case; of two that clash the first by name wins.
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string path = pathOfFile(name);
    if (!path.empty()) found.emplace(path, name);
  }
  return found;
}

void VbusBus::start(BusListener* listener) {
  listener_ = listener;
  // Watch first, then scan: a device published in between shows in both,
  // and the listener ignores a second arrival.
  if (const int rc = dirWatch_.open(dir_); rc != 0 || !stopWake_.valid()) {
    VLN_TRACE(kVbus, "cannot watch %s (code %d): no devices", dir_.c_str(), rc);
    return;
  }
  watcher_ = std::make_unique<Watcher>(this);
  watcher_->start();
}

std::vector<std::string> VbusBus::presentDevices() {
  std::vector<std::string> paths;
  std::map<std::string, std::string> found = scan();
  plat::LockGuard lock(mutex_);
  for (auto& [path, name] : found) {
    files_.emplace(path, name);
    paths.push_back(path);
  }
  return paths;
}

std::unique_ptr<UsbDevice> VbusBus::open(const std::string& path, TransferSink* sink) {
  std::string name;
  {
    plat::LockGuard lock(mutex_);
    auto it = files_.find(path);
    if (it == files_.end()) return nullptr;
    name = it->second;
  }
  plat::Handle fd = plat::kInvalidHandle;
  if (const int rc = plat::vbusConnect(dir_ + "/" + name, vbus::kConnectRetryMs, &fd); rc != 0) {
    VLN_TRACE(kVbus, "%s: cannot connect (code %d)", name.c_str(), rc);
    return nullptr;
  }
  VLN_TRACE(kVbus, "%s: connected", name.c_str());
  return std::make_unique<VbusDevice>(fd, sink);
}

void VbusBus::stop() {
  if (!watcher_) return;
  stopWake_.set();
  watcher_->join();
  watcher_.reset();
}

void VbusBus::appeared(const std::string& name) {
  const std::string path = pathOfFile(name);
  if (path.empty()) return;
  {
    plat::LockGuard lock(mutex_);
    if (!files_.emplace(path, name).second) return;
  }
  VLN_TRACE(kVbus, "%s appeared", name.c_str());
  listener_->deviceArrived(path);
}

void VbusBus::vanished(const std::string& name) {
  const std::string path = pathOfFile(name);
  if (path.empty()) return;
  {
    plat::LockGuard lock(mutex_);
    auto it = files_.find(path);
    if (it == files_.end() || it->second != name) return;
    files_.erase(it);
  }
  VLN_TRACE(kVbus, "%s went", name.c_str());
  listener_->deviceRemoved(path);
}

void VbusBus::resync() {
  std::map<std::string, std::string> found = scan();
  std::vector<std::string> gone, added;
  {
    plat::LockGuard lock(mutex_);
    for (auto it = files_.begin(); it != files_.end();) {
      auto now = found.find(it->first);
      if (now == found.end() || now->second != it->second) {
        gone.push_back(it->first);
        it = files_.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& [path, name] : found)
      if (files_.emplace(path, name).second) added.push_back(path);
  }
  for (auto& path : gone) listener_->deviceRemoved(path);
  for (auto& path : added) listener_->deviceArrived(path);
}

void VbusBus::watch() {
  bool watching = true;
  for (;;) {
    plat::PollItem items[2];
    items[0] = {stopWake_.handle(), plat::kPollRead, 0};
    items[1] = {watching ? dirWatch_.handle() : plat::kInvalidHandle, plat::kPollRead, 0};
    if (plat::pollHandles(items, 2, -1) < 0) return;
    if (items[0].ready != 0) return;
    if (items[1].ready == 0) continue;
    std::vector<plat::DirWatch::Change> changes;
    bool overflowed = false;
    const bool alive = dirWatch_.read(&changes, &overflowed);
    for (auto& change : changes) {
      if (change.appeared)
        appeared(change.name);
      else
        vanished(change.name);
    }
    if (overflowed) resync();
    if (!alive) {
      // The directory itself went, and every device with it.
      VLN_TRACE(kVbus, "%s went: every device with it", dir_.c_str());
      std::vector<std::string> gone;
      {
        plat::LockGuard lock(mutex_);
        for (auto& [path, name] : files_) gone.push_back(path);
        files_.clear();
      }
      for (auto& path : gone) listener_->deviceRemoved(path);
      watching = false;
    }
  }
}

}  // namespace usblink
