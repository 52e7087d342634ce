// The updater's ports: the small interfaces its worker works through (the
// device management calls, the file server client and the dialog's event
// queue). Production code binds them to devmgr, fsproto and the Qt dialog;
// tests bind them to fakes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fwflash {

inline constexpr size_t kDeviceTextSize = 256;

enum class DeviceText { kVersionString, kTarget, kSubTarget, kVerbose, kFriendlyName };

// Device management, called on the worker thread only.
class DeviceApi {
 public:
  using Handle = void*;
  virtual ~DeviceApi() = default;
  // Null when the device cannot be reached.
  virtual Handle connect(const std::vector<uint8_t>& hwid) = 0;
  virtual void disconnect(Handle handle) = 0;
  // Writes up to kDeviceTextSize bytes into buffer (no terminator added).
  virtual bool queryText(Handle handle, DeviceText which, uint8_t* buffer) = 0;
  // volume and file are kDeviceTextSize-byte buffers.
  virtual bool requestUpgrade(Handle handle, const char* volume, const char* file) = 0;
  virtual bool reset(Handle handle) = 0;
};

// The file server client's callback: (user, event, data, length); events 1
// finished (int32), 2 failed (int32), 3 progress (int32 done, int32 total).
// Runs on the client's threads, or on the caller's for a start failure.
using FileServerCallback = void (*)(void* user, int event, const void* data, size_t length);

class FileServerApi {
 public:
  virtual ~FileServerApi() = default;
  // Each returns true when the transfer started; when not, a failure event
  // has already been delivered. Exactly one of events 1 and 2 ends each.
  virtual bool unlink(const std::vector<uint8_t>& hwid, FileServerCallback callback, void* user,
                      const std::string& volume, const std::string& remoteName) = 0;
  virtual bool download(const std::vector<uint8_t>& hwid, FileServerCallback callback, void* user,
                        const std::string& volume, const std::string& localPath,
                        const std::string& remoteName, int attributes) = 0;
  virtual void cleanup() = 0;
  // Static text or null.
  virtual const char* translateError(int code) = 0;
};

enum UpdaterEventCode : int {
  kEventConnected = 1,
  kEventDisconnected = 2,
  kEventTarget = 4,
  kEventSubTarget = 5,
  kEventVersion = 6,
  kEventVerbose = 7,
  kEventName = 8,
  kEventProgress = 10,
  kEventOperationEnd = 11,
};

// What the worker tells the dialog; the receiver owns it.
struct UpdaterEvent {
  int code = 0;
  int ok = 1;
  std::u16string text;
  float progress = 0.0f;
};

// Takes events from the worker and from the file server client's threads.
class UpdaterEventSink {
 public:
  virtual ~UpdaterEventSink() = default;
  virtual void post(std::unique_ptr<UpdaterEvent> event) = 0;
};

}  // namespace fwflash
