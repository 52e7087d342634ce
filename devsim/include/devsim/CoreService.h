// The core management service (protocol id 1): the device's identity table,
// its friendly name, visual identification, reset, the list of its services
// and the core firmware upgrade request.
//
// Requests and replies are whole messages; byte 0 is the code, a reply
// carries the request's code + 1, fields are little-endian:
//
//   2  -> 3   the protocol ids the device serves, one byte each
//   4, 6, 8, 16, 18, 20, 26, 30, 48, 64, 66, 68, 70, 72, 96, 98 -> code + 1
//             the identity value (26 is the friendly name)
//   14 -> 15  "volume\0file\0": 1 when the file is in that storage volume, else 0
//   24 -> 25  the new friendly name (no terminator): 1 taken, 0 refused
//   32 -> 33  u16 duration in ms; the reply has no data
//   80        reset: no reply; the device goes off the bus and comes back
//
// One CoreState per device holds what outlives a channel (the friendly name,
// the fault knobs, what the device was asked); the service made for each
// channel shares it.
//
// Threads: a CoreService runs on the device's thread; a delayed reply is
// sent from the service's own timer thread, which its destructor stops.
// CoreState may be used from any thread; its lock is a leaf except that it is
// never held while the reset hook runs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "devsim/Service.h"
#include "plat/threadsafety.h"

namespace devsim {

enum CoreRequest : uint8_t {
  kCoreProtocolList = 2,
  kCoreFwVersion = 4,
  kCoreFwPlatform = 6,
  kCoreFwSignature = 8,
  kCoreFwUpgrade = 14,
  kCoreFwTarget = 16,
  kCoreFwSubTarget = 18,
  kCoreFwVersionString = 20,
  kCoreSetFriendlyName = 24,
  kCoreFriendlyName = 26,
  kCoreFwVerbose = 30,
  kCoreIdentify = 32,
  kCoreRecVersion = 48,
  kCoreAppUuid = 64,
  kCoreAppName = 66,
  kCoreAppVersion = 68,
  kCoreAppParSignature = 70,
  kCoreAppDefParSignature = 72,
  kCoreReset = 80,
  kCoreDeviceName = 96,
  kCoreDeviceSerial = 98,
};

// The values the identity queries answer with, as the device sends them.
// Sizes are not checked here, so that a test can make a device send a value
// of the wrong length.
struct CoreIdentity {
  std::vector<uint8_t> fwVersion{0x01, 0x08, 0x00, 0x00};
  std::string fwPlatform = "devsim";
  std::vector<uint8_t> fwSignature = std::vector<uint8_t>(16, 0xA5);
  std::string fwTarget = "sim-target";
  std::string fwSubTarget = "sim-subtarget";
  std::string fwVersionString = "1.8.0";
  std::string fwVerbose = "emulated device firmware";
  std::vector<uint8_t> recVersion{0x01, 0x00, 0x00, 0x00};
  std::vector<uint8_t> appUuid = std::vector<uint8_t>(16, 0x11);
  std::string appName = "devsim-app";
  std::string appVersion = "1.0.0";
  std::vector<uint8_t> appParSignature = std::vector<uint8_t>(16, 0x22);
  std::vector<uint8_t> appDefParSignature = std::vector<uint8_t>(16, 0x33);
  std::string deviceName = "Emulated device";
  std::vector<uint8_t> deviceSerial{0x39, 0x30, 0x00, 0x00};  // 12345
};

struct CoreConfig {
  CoreIdentity identity;
  std::string friendlyName = "devsim";
  // Longest friendly name the device takes; a longer one is refused (reply 0).
  size_t maxFriendlyName = 32;
  // Protocol ids reported by request 2.
  std::vector<uint8_t> protocols{1, 2, 3, 4, 5};
  // Storage volumes: name (as the host writes it) to the directory that holds
  // its files. The upgrade request succeeds only for a file found there.
  std::map<std::string, std::filesystem::path> storage;
  // When set, an upgrade request for a file found in storage is carried out:
  // this gives the identity the new firmware brings (called with the state's
  // lock held, so it must not call back into the state), or nothing for a
  // package the device refuses (reply 0). After the reply the device
  // replugs through the reset hook.
  std::function<std::optional<CoreIdentity>(const std::filesystem::path& file,
                                            const CoreIdentity& current)>
      upgradeFirmware;
};

// What the device does instead of its normal reply to one request code.
struct CoreReplyFault {
  bool silent = false;                       // no reply at all
  std::optional<uint8_t> code;               // reply with this code instead
  std::optional<std::vector<uint8_t>> data;  // reply with this data instead
  uint32_t delayMs = 0;                      // reply this much later
  uint32_t extraReplies = 0;                 // send the reply this many more times
  std::shared_future<void> heldUntil;        // when valid: the reply waits for it too
};

// One request as the device received it.
struct CoreRecord {
  uint8_t code = 0;
  std::vector<uint8_t> body;  // after the code
};

class CoreState {
 public:
  explicit CoreState(CoreConfig config = {});

  // Takes the identity, protocols and storage of `config` and its friendly
  // name.
  void configure(const CoreConfig& config);
  CoreConfig config() const;
  std::string friendlyName() const;

  // Fault knobs, per request code; cleared with clearFaults().
  void setFault(uint8_t request, const CoreReplyFault& fault);
  void clearFaults();

  // Called (on the device's thread, no lock held) when the host asks for a
  // reset. The host of the device implements it: it takes the device off its
  // bus and brings it back under the same HwId, without blocking the caller
  // (the device's own thread is the one calling).
  void setResetHook(std::function<void()> hook);

  // Every request received, in order, on every channel of the device.
  std::vector<CoreRecord> requests() const;
  // The durations of the identification requests, in order.
  std::vector<uint16_t> identifications() const;
  uint64_t resets() const;
  void clearRecords();

  // Service side (CoreService).
  // *replugAfterReply (when given): an upgrade was carried out.
  std::vector<uint8_t> answer(const std::vector<uint8_t>& request,
                              std::optional<CoreReplyFault>* fault, bool* reset,
                              bool* replugAfterReply = nullptr);
  void runResetHook();

 private:
  std::vector<uint8_t> upgradeAnswer(const std::vector<uint8_t>& body,
                                     std::filesystem::path* file = nullptr) const REQUIRES(mutex_);

  mutable plat::Mutex mutex_;
  CoreConfig config_ GUARDED_BY(mutex_);
  std::map<uint8_t, CoreReplyFault> faults_ GUARDED_BY(mutex_);
  std::vector<CoreRecord> requests_ GUARDED_BY(mutex_);
  std::vector<uint16_t> identifications_ GUARDED_BY(mutex_);
  uint64_t resets_ GUARDED_BY(mutex_) = 0;
  std::function<void()> resetHook_ GUARDED_BY(mutex_);
};

class CoreService : public MessageService {
 public:
  CoreService(std::shared_ptr<ServiceChannel> channel, std::shared_ptr<CoreState> state);
  ~CoreService() override;

  // Makes a CoreService on `state` for every channel opened with protocol id 1.
  static ServiceFactory factory(std::shared_ptr<CoreState> state);

 protected:
  void onMessage(const std::vector<uint8_t>& message) override;

 private:
  struct Timer;
  std::shared_ptr<CoreState> state_;
  std::unique_ptr<Timer> timer_;
};

}  // namespace devsim
