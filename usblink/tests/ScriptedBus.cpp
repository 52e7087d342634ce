#include "ScriptedBus.h"

#include <chrono>
#include <cstring>

#include "DevicePath.h"

namespace usblink::test {

Bytes linkDescriptor(uint16_t transferSize, uint16_t magic) {
  return {0x06,
          0x80,
          uint8_t(magic),
          uint8_t(magic >> 8),
          uint8_t(transferSize),
          uint8_t(transferSize >> 8)};
}

namespace {

bool sameSetup(const ControlSetup& a, const ControlSetup& b) {
  return a.requestType == b.requestType && a.request == b.request && a.value == b.value &&
         a.index == b.index && a.length == b.length;
}

}  // namespace

// The device object a channel owns; its state lives in the shared script so
// the test can watch it after the channel has closed the device.
class ScriptedDevice : public UsbDevice {
 public:
  explicit ScriptedDevice(std::shared_ptr<DeviceScript> script) : script_(std::move(script)) {}
  ~ScriptedDevice() override { script_->close(std::move(kept_)); }

  bool bulkPipes(uint16_t* in, uint16_t* out) override { return script_->bulkPipes(in, out); }
  int controlTransfer(const ControlSetup& setup, uint8_t* data) override {
    return script_->control(setup, data);
  }
  bool startRead(uint8_t* buffer, size_t length) override {
    return script_->startRead(buffer, length);
  }
  bool startWrite(const uint8_t* data, size_t length) override {
    return script_->startWrite(data, length);
  }
  void cancelTransfers() override { script_->cancel(); }

 private:
  std::shared_ptr<DeviceScript> script_;
};

// ---- DeviceScript: the script ----

DeviceScript::~DeviceScript() {
  if (late_.joinable()) late_.join();
}

void DeviceScript::failOpen() {
  std::lock_guard<std::mutex> lock(mutex_);
  openFails_ = true;
}

void DeviceScript::setPipes(uint16_t inMaxPacket, uint16_t outMaxPacket) {
  std::lock_guard<std::mutex> lock(mutex_);
  inMaxPacket_ = inMaxPacket;
  outMaxPacket_ = outMaxPacket;
}

void DeviceScript::addControl(ControlStep step) {
  std::lock_guard<std::mutex> lock(mutex_);
  control_.push_back(std::move(step));
}

void DeviceScript::expectDescriptor(const Bytes& answer) {
  addControl({{0x80, 6, 0x8000, 0, 6}, answer, false});
}

void DeviceScript::addRead(ReadStep step) {
  std::lock_guard<std::mutex> lock(mutex_);
  reads_.push_back(std::move(step));
}

void DeviceScript::addWrite(WriteStep step) {
  std::lock_guard<std::mutex> lock(mutex_);
  writesScript_.push_back(step);
}

void DeviceScript::setLateCancel(int ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  lateCancelMs_ = ms;
}

// ---- DeviceScript: the test side ----

bool DeviceScript::completeRead(ReadStep step) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return readOut_; }))
    return false;
  finishRead(lock, step);
  return true;
}

bool DeviceScript::completeHeldWrite(TransferStatus status, size_t bytes) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                         [&] { return writeOut_ && writeHeld_; }))
    return false;
  writeOut_ = false;
  writeHeld_ = false;
  sink_->writeDone(status, bytes);
  changed_.notify_all();
  return true;
}

bool DeviceScript::waitWrites(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return written_.size() >= count; });
}

bool DeviceScript::waitReadPending(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return readOut_; });
}

bool DeviceScript::waitClosed(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return opens_ > 0 && !isOpen_; });
}

std::vector<Bytes> DeviceScript::writes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_;
}

std::vector<size_t> DeviceScript::readLengths() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return readLengths_;
}

int DeviceScript::opens() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return opens_;
}

int DeviceScript::unexpected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unexpected_;
}

bool DeviceScript::closedWithTransfersOut() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closedWithTransfersOut_;
}

bool DeviceScript::cancelled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelled_;
}

// ---- DeviceScript: the device side ----

bool DeviceScript::open(TransferSink* sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (openFails_ || isOpen_) return false;
  sink_ = sink;
  isOpen_ = true;
  ++opens_;
  changed_.notify_all();
  return true;
}

void DeviceScript::close(std::shared_ptr<void> kept) {
  std::thread late;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    late.swap(late_);
  }
  // A late completion still on its way finishes first, as the bus would
  // deliver it; a held one comes back after the close, as from a bus that
  // keeps the transfer: into the buffers left to it, with no call to the
  // channel. The point is whether the channel waited for it, or left it
  // what it writes into.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (readOut_ || writeOut_) closedWithTransfersOut_ = true;
  }
  if (late.joinable()) late.join();
  std::lock_guard<std::mutex> lock(mutex_);
  if (cancelAsked_)
    kept_ = std::move(kept);
  else
    readOut_ = writeOut_ = writeHeld_ = false;
  sink_ = nullptr;
  isOpen_ = false;
  changed_.notify_all();
}

void DeviceScript::holdCancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelHeld_ = true;
}

bool DeviceScript::releaseCancel(bool* afterClose, bool* keptNothing) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!cancelAsked_) return false;
  *afterClose = !isOpen_;
  *keptNothing = !isOpen_ && !kept_;
  finishCancel();
  return true;
}

bool DeviceScript::bulkPipes(uint16_t* in, uint16_t* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  *in = inMaxPacket_;
  *out = outMaxPacket_;
  return inMaxPacket_ != 0 && outMaxPacket_ != 0;
}

int DeviceScript::control(const ControlSetup& setup, uint8_t* data) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (control_.empty() || !sameSetup(control_.front().expect, setup)) {
    ++unexpected_;
    return -1;
  }
  ControlStep step = std::move(control_.front());
  control_.pop_front();
  if (step.fail) return -1;
  const size_t n = std::min<size_t>(step.answer.size(), setup.length);
  if ((setup.requestType & 0x80) && n > 0) std::memcpy(data, step.answer.data(), n);
  return int(n);
}

void DeviceScript::finishRead(std::unique_lock<std::mutex>& lock, const ReadStep& step) {
  // A device never sends more than the read asked for: the controller would
  // report an overflow instead.
  const size_t n = std::min(step.bytes.size(), readLength_);
  if (step.bytes.size() > readLength_) ++unexpected_;
  if (n > 0) std::memcpy(readBuffer_, step.bytes.data(), n);
  readOut_ = false;
  sink_->readDone(step.status, n);
  changed_.notify_all();
}

bool DeviceScript::startRead(uint8_t* buffer, size_t length) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (readOut_) {
    ++unexpected_;
    return false;
  }
  readBuffer_ = buffer;
  readLength_ = length;
  readOut_ = true;
  readLengths_.push_back(length);
  changed_.notify_all();
  if (!reads_.empty()) {
    ReadStep step = std::move(reads_.front());
    reads_.pop_front();
    finishRead(lock, step);
  }
  return true;
}

bool DeviceScript::startWrite(const uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (writeOut_) {
    ++unexpected_;
    return false;
  }
  written_.emplace_back(data, data + length);
  WriteStep step;
  if (!writesScript_.empty()) {
    step = writesScript_.front();
    writesScript_.pop_front();
  }
  writeOut_ = true;
  changed_.notify_all();
  if (step.hold) {
    writeHeld_ = true;
    return true;
  }
  writeOut_ = false;
  sink_->writeDone(step.status, step.bytes == WriteStep::kWhole ? length : step.bytes);
  return true;
}

void DeviceScript::cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = true;
  if (cancelHeld_) {
    cancelAsked_ = true;
    return;
  }
  if (lateCancelMs_ <= 0) {
    finishCancel();
    return;
  }
  if (late_.joinable()) return;  // already on its way
  const int delay = lateCancelMs_;
  late_ = std::thread([this, delay] {
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    std::lock_guard<std::mutex> inner(mutex_);
    finishCancel();
  });
}

void DeviceScript::finishCancel() {
  cancelAsked_ = false;
  if (readOut_) {
    // What a controller may still put into the buffer before it lets go;
    // not into memory a closed device was left nothing of (without a
    // sanitizer that would go unseen and corrupt the heap).
    if (isOpen_ || kept_) std::memset(readBuffer_, 0xEE, readLength_);
    readOut_ = false;
    if (sink_) sink_->readDone(TransferStatus::kCancelled, 0);
  }
  if (writeOut_) {
    writeOut_ = writeHeld_ = false;
    if (sink_) sink_->writeDone(TransferStatus::kCancelled, 0);
  }
  kept_.reset();
  changed_.notify_all();
}

// ---- ScriptedBus ----

ScriptedBus::~ScriptedBus() = default;

std::shared_ptr<DeviceScript> ScriptedBus::addDevice(const std::string& path, bool present) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto script = std::make_shared<DeviceScript>();
  devices_[upperAscii(path)] = script;
  if (present) present_.push_back(path);
  return script;
}

void ScriptedBus::setScanDelay(int ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  scanDelayMs_ = ms;
}

void ScriptedBus::plug(const std::string& path) {
  BusListener* listener;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listener = stopped_ ? nullptr : listener_;
  }
  if (listener) listener->deviceArrived(path);
}

void ScriptedBus::unplug(const std::string& path) {
  BusListener* listener;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listener = stopped_ ? nullptr : listener_;
  }
  if (listener) listener->deviceRemoved(path);
}

void ScriptedBus::start(BusListener* listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  listener_ = listener;
}

std::vector<std::string> ScriptedBus::presentDevices() {
  int delay;
  std::vector<std::string> present;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    delay = scanDelayMs_;
    present = present_;
  }
  if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  return present;
}

std::unique_ptr<UsbDevice> ScriptedBus::open(const std::string& path, TransferSink* sink) {
  std::shared_ptr<DeviceScript> script;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(upperAscii(path));
    if (it == devices_.end()) return nullptr;
    script = it->second;
  }
  if (!script->open(sink)) return nullptr;
  return std::make_unique<ScriptedDevice>(std::move(script));
}

void ScriptedBus::stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
}

}  // namespace usblink::test
