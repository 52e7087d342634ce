#include "fwflash/CommMgr.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#include "base/Utf8.h"
#include "plat/privatefile.h"

namespace fwflash {
namespace {

int32_t readInt32(const void* data) {
  int32_t v;
  std::memcpy(&v, data, sizeof v);
  return v;
}

// A text the device sent: up to 256 bytes or the first zero.
std::string textOf(const uint8_t* buffer) {
  const void* zero = std::memchr(buffer, 0, kDeviceTextSize);
  const size_t n = zero ? size_t(static_cast<const uint8_t*>(zero) - buffer) : kDeviceTextSize;
  return std::string(reinterpret_cast<const char*>(buffer), n);
}

// A reply whose record is too short to hold the result counts as a protocol
// error, so the waiting worker still wakes.
constexpr int32_t kProtocolError = -127;

}  // namespace

CommMgr::CommMgr(DeviceApi& device, FileServerApi& files, UpdaterEventSink& sink,
                 CommMgrOptions options)
    : ThreadBase("commgr"),
      device_(device),
      files_(files),
      sink_(sink),
      options_(std::move(options)) {}

CommMgr::~CommMgr() {
  if (hasThread()) {
    pushCommand({kCommandQuit, {}, {}, {}});
    join();
  }
}

void CommMgr::pushCommand(UpdaterCommand command) {
  {
    plat::LockGuard lock(queueMutex_);
    queue_.push_back(std::move(command));
  }
  queueCv_.notify_one();
}

bool CommMgr::waitCommand(UpdaterCommand* command, int milliseconds) {
  plat::UniqueLock lock(queueMutex_);
  if (!queueCv_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                         [this]() REQUIRES(queueMutex_) { return !queue_.empty(); }))
    return false;
  *command = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

void CommMgr::postEvent(int ok, int code, std::u16string text) {
  auto event = std::make_unique<UpdaterEvent>();
  event->code = code;
  event->ok = ok;
  event->text = std::move(text);
  sink_.post(std::move(event));
}

void CommMgr::postText(int ok, int code, const std::string& bytes) {
  std::u16string text;
  for (unsigned char c : bytes) text.push_back(char16_t(c));
  postEvent(ok, code, std::move(text));
}

void CommMgr::onFileServerEvent(void* user, int event, const void* data, size_t length) {
  auto* self = static_cast<CommMgr*>(user);
  if (event == 1 || event == 2) {
    const int32_t result = data && length >= 4 ? readInt32(data) : kProtocolError;
    {
      plat::LockGuard lock(self->doneMutex_);
      self->transferResult_ = result;
      self->transferDone_ = true;
    }
    self->doneCv_.notify_all();
  } else if (event == 3) {
    if (!data || length < 8) return;
    const int32_t done = readInt32(data);
    const int32_t total = readInt32(static_cast<const uint8_t*>(data) + 4);
    if (total == 0) return;
    const double ratio = std::clamp(double(done) / double(total), 0.0, 1.0);
    auto progress = std::make_unique<UpdaterEvent>();
    progress->code = kEventProgress;
    progress->ok = 1;
    progress->progress = float(ratio);
    self->sink_.post(std::move(progress));
  }
}

void CommMgr::clearTransferDone() {
  plat::LockGuard lock(doneMutex_);
  transferDone_ = false;
}

int CommMgr::waitTransferDone() {
  plat::UniqueLock lock(doneMutex_);
  doneCv_.wait(lock, [this]() REQUIRES(doneMutex_) { return transferDone_; });
  return transferResult_;
}

std::string CommMgr::tempPackagePath() const {
  static const char digits[] = "0123456789abcdef";
  std::string name;
  for (uint8_t b : hwid_) {
    name.push_back(digits[b >> 4]);
    name.push_back(digits[b & 15]);
  }
  return options_.tempDir + "/" + name + ".xpk";
}

void CommMgr::dropHandle() {
  if (handle_) device_.disconnect(handle_);
  handle_ = nullptr;
}

bool CommMgr::connectAndDescribe() {
  handle_ = device_.connect(hwid_);
  if (!handle_) return false;
  uint8_t version[kDeviceTextSize] = {}, target[kDeviceTextSize] = {},
          subTarget[kDeviceTextSize] = {}, verbose[kDeviceTextSize] = {},
          name[kDeviceTextSize] = {};
  const bool okVersion = device_.queryText(handle_, DeviceText::kVersionString, version);
  const bool okTarget = okVersion && device_.queryText(handle_, DeviceText::kTarget, target);
  const bool okSubTarget =
      okTarget && device_.queryText(handle_, DeviceText::kSubTarget, subTarget);
  if (okSubTarget && !device_.queryText(handle_, DeviceText::kVerbose, verbose))
    std::memset(verbose, 0, sizeof verbose);
  const bool okName = okSubTarget && device_.queryText(handle_, DeviceText::kFriendlyName, name);
  if (!okName) {
    dropHandle();
    return false;
  }
  postEvent(1, kEventConnected, {});
  postEvent(1, kEventTarget, decodeUtf8(textOf(target)));
  postEvent(1, kEventSubTarget, decodeUtf8(textOf(subTarget)));
  postEvent(1, kEventVersion, decodeUtf8(textOf(version)));
  postEvent(1, kEventVerbose, decodeUtf8(textOf(verbose)));
  postEvent(1, kEventName, decodeUtf8(textOf(name)));
  return true;
}

// After a refused upgrade request: a device that reboots into its upgrade
// drops off the bus. Each look takes a connection of its own, as the held one
// is broken for good also by a reply that never came from a device that stays.
bool CommMgr::deviceLeftWithin(int milliseconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (true) {
    DeviceApi::Handle probe = device_.connect(hwid_);
    if (!probe) return true;
    uint8_t name[kDeviceTextSize] = {};
    const bool answered = device_.queryText(probe, DeviceText::kFriendlyName, name);
    device_.disconnect(probe);
    if (!answered) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(options_.upgradeWatchStepMs));
  }
}

void CommMgr::upgrade(const UpdaterCommand& command) {
  clearTransferDone();
  files_.unlink(hwid_, &CommMgr::onFileServerEvent, this, command.name1, command.name2);
  waitTransferDone();
  // The delete's channel is closed for good before the download opens the
  // next one: a transfer started while the previous one's channel on the same
  // device was still closing was seen to get no first reply (-138) at times.
  files_.cleanup();

  const std::string path = tempPackagePath();
  if (command.data.empty() ||
      plat::writePrivateFile(path, command.data.data(), command.data.size()) != 0) {
    postText(0, kEventOperationEnd, kTextLocalWriteError);
    return;
  }

  clearTransferDone();
  files_.download(hwid_, &CommMgr::onFileServerEvent, this, command.name1, path, command.name2, 0);
  const int result = waitTransferDone();
  if (result < 0) {
    const char* text = files_.translateError(result);
    postText(0, kEventOperationEnd,
             text ? std::string(text) : kTextAbortedTransfer + std::to_string(result));
    return;
  }

  char volume[kDeviceTextSize] = {}, file[kDeviceTextSize] = {};
  std::strncpy(volume, command.name1.c_str(), sizeof volume - 1);
  std::strncpy(file, command.name2.c_str(), sizeof file - 1);
  if (!device_.requestUpgrade(handle_, volume, file) &&
      !deviceLeftWithin(options_.upgradeWatchMs)) {
    postText(0, kEventOperationEnd, kTextUpgradeRefused);
    return;
  }
  postEvent(1, kEventOperationEnd, {});
  std::error_code ec;
  std::filesystem::remove(path, ec);
  dropHandle();
  postEvent(1, kEventDisconnected, {});
}

void CommMgr::run() {
  bool disconnectPending = false;
  while (true) {
    UpdaterCommand command;
    const bool taken = waitCommand(&command, options_.pollMs);
    if (taken && command.code == kCommandQuit) break;

    if (disconnectPending) {
      dropHandle();
      disconnectPending = false;
      // The pass after a reset drops its command; an upgrade still ends.
      if (taken && command.code == kCommandUpgrade)
        postText(0, kEventOperationEnd, kTextNotConnected);
      continue;
    }

    if (!handle_) connectAndDescribe();

    if (taken) {
      if (command.code == kCommandUpgrade) {
        if (handle_)
          upgrade(command);
        else
          postText(0, kEventOperationEnd, kTextNotConnected);
      } else if (command.code == kCommandReset && handle_) {
        device_.reset(handle_);
        postEvent(1, kEventDisconnected, {});
        disconnectPending = true;
      }
      files_.cleanup();
    } else if (handle_) {
      uint8_t name[kDeviceTextSize] = {};
      if (device_.queryText(handle_, DeviceText::kFriendlyName, name)) {
        postEvent(1, kEventName, decodeUtf8(textOf(name)));
      } else {
        dropHandle();
        postEvent(1, kEventDisconnected, {});
      }
    }
  }
  dropHandle();
}

std::u16string decodeUtf8(const std::string& bytes) { return base::utf8ToUtf16(bytes); }

}  // namespace fwflash
