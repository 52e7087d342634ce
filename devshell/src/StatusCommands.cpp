#include "StatusCommands.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "plat/threadsafety.h"

namespace {

// The hand-over between statproto's threads and the command waiting on the
// main thread.
struct StatusHandOver {
  plat::Mutex mutex;
  plat::CondVar cv;
  // Guarded by mutex:
  bool notified GUARDED_BY(mutex) = false;  // any notification (channel up or a text)
  bool textCame GUARDED_BY(mutex) = false;  // a status text
  std::string text GUARDED_BY(mutex);
};

StatusHandOver& handOver() {
  static StatusHandOver* instance = new StatusHandOver;
  return *instance;
}

void onStatus(ProtStatusHandle, uint64_t event, const void* data, uint64_t length) {
  StatusHandOver& h = handOver();
  if (event == PROT_STATUS_EVENT_TEXT) {
    plat::LockGuard lock(h.mutex);
    const auto* record = static_cast<const ProtStatusText*>(data);
    if (length == sizeof(ProtStatusText) && record && record->text)
      h.text = record->text;
    else
      h.text.clear();
    h.textCame = true;
    h.notified = true;
  } else if (event == PROT_STATUS_EVENT_UP) {
    plat::LockGuard lock(h.mutex);
    h.notified = true;
  } else {
    return;
  }
  h.cv.notify_one();
}

// Clears what an earlier command left.
void resetHandOver() {
  StatusHandOver& h = handOver();
  plat::LockGuard lock(h.mutex);
  h.notified = false;
  h.textCame = false;
  h.text.clear();
}

// Waits for a notification (or, with textOnly, a status text); the flag is
// cleared either way. True when the time ran out.
bool waitTimedOut(int ms, bool textOnly) {
  StatusHandOver& h = handOver();
  plat::UniqueLock lock(h.mutex);
  bool& flag = textOnly ? h.textCame : h.notified;
  const bool came = h.cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return flag; });
  h.notified = false;
  h.textCame = false;
  return !came;
}

std::string textNow() {
  StatusHandOver& h = handOver();
  plat::LockGuard lock(h.mutex);
  return h.text;
}

}  // namespace

StatusCommands::StatusCommands(UsrConsole& console, std::vector<uint8_t> hwid,
                               const ShellSettings& settings)
    : hwid_(std::move(hwid)), settings_(settings) {
  console.addCommand("getsystemstatus", "request system status", {},
                     [this](const UsrConInvocation&, std::ostream& out) {
                       resetHandOver();
                       registerDevice();
                       waitTimedOut(kChannelWaitMs, false);
                       ProtStatusReqNotifications(handle_);
                       // Only the text answers: the channel coming up, or
                       // the other notifications, do not.
                       const bool timedOut = waitTimedOut(kTextWaitMs, true);
                       unregisterDevice();
                       if (timedOut) throw std::string("Device timed out");
                       out << textNow() << std::endl;
                     });

  const UsrConField<unsigned int> period(1000, "period", "duration [msec]");
  console.addCommand(
      "sleep", "sleep for a while", {&period},
      [](const UsrConInvocation& invocation, std::ostream&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(invocation->arg<unsigned int>(0)));
      },
      1);

  const UsrConField<unsigned int> timeout(1000, "timeout", "maximum wait period [msec]");
  console.addCommand(
      "wait", "wait for device connection", {&timeout},
      [this](const UsrConInvocation& invocation, std::ostream& out) {
        resetHandOver();
        registerDevice();
        const unsigned int ms = invocation->arg<unsigned int>(0);
        const bool timedOut = waitTimedOut(int(std::min<unsigned int>(ms, INT32_MAX)), false);
        unregisterDevice();
        if (timedOut) throw std::string("Device reconnection timed out");
        if (!settings_.quiet) out << "Device reconnected" << std::endl;
      },
      1);
}

StatusCommands::~StatusCommands() { unregisterDevice(); }

void StatusCommands::registerDevice() {
  // A HWID of another length would stop the library on its assertion.
  if (hwid_.size() == PROT_STATUS_HWID_SIZE)
    handle_ = ProtStatusRegister(hwid_.data(), hwid_.size(), onStatus);
  if (!handle_) throw std::string("Error while registering device status");
}

void StatusCommands::unregisterDevice() {
  if (!handle_) return;
  ProtStatusUnRegister(handle_);
  handle_ = nullptr;
}
