#include "devsim/CoreService.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <system_error>
#include <thread>

#include "base/ByteReader.h"

namespace devsim {
namespace {

std::vector<uint8_t> bytesOf(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// The identity value a query answers with; false for a code that is no query.
bool identityValue(const CoreIdentity& id, const std::string& friendlyName, uint8_t code,
                   std::vector<uint8_t>* value) {
  switch (code) {
    case kCoreFwVersion:
      *value = id.fwVersion;
      return true;
    case kCoreFwPlatform:
      *value = bytesOf(id.fwPlatform);
      return true;
    case kCoreFwSignature:
      *value = id.fwSignature;
      return true;
    case kCoreFwTarget:
      *value = bytesOf(id.fwTarget);
      return true;
    case kCoreFwSubTarget:
      *value = bytesOf(id.fwSubTarget);
      return true;
    case kCoreFwVersionString:
      *value = bytesOf(id.fwVersionString);
      return true;
    case kCoreFriendlyName:
      *value = bytesOf(friendlyName);
      return true;
    case kCoreFwVerbose:
      *value = bytesOf(id.fwVerbose);
      return true;
    case kCoreRecVersion:
      *value = id.recVersion;
      return true;
    case kCoreAppUuid:
      *value = id.appUuid;
      return true;
    case kCoreAppName:
      *value = bytesOf(id.appName);
      return true;
    case kCoreAppVersion:
      *value = bytesOf(id.appVersion);
      return true;
    case kCoreAppParSignature:
      *value = id.appParSignature;
      return true;
    case kCoreAppDefParSignature:
      *value = id.appDefParSignature;
      return true;
    case kCoreDeviceName:
      *value = bytesOf(id.deviceName);
      return true;
    case kCoreDeviceSerial:
      *value = id.deviceSerial;
      return true;
    default:
      return false;
  }
}

// A file name the host may name in a volume: one plain path component.
bool isPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of("/\\") == std::string::npos;
}

}  // namespace

// ---------------------------------------------------------------- CoreState

CoreState::CoreState(CoreConfig config) : config_(std::move(config)) {}

void CoreState::configure(const CoreConfig& config) {
  plat::LockGuard lock(mutex_);
  config_ = config;
}

CoreConfig CoreState::config() const {
  plat::LockGuard lock(mutex_);
  return config_;
}

std::string CoreState::friendlyName() const {
  plat::LockGuard lock(mutex_);
  return config_.friendlyName;
}

void CoreState::setFault(uint8_t request, const CoreReplyFault& fault) {
  plat::LockGuard lock(mutex_);
  faults_[request] = fault;
}

void CoreState::clearFaults() {
  plat::LockGuard lock(mutex_);
  faults_.clear();
}

void CoreState::setResetHook(std::function<void()> hook) {
  plat::LockGuard lock(mutex_);
  resetHook_ = std::move(hook);
}

std::vector<CoreRecord> CoreState::requests() const {
  plat::LockGuard lock(mutex_);
  return requests_;
}

std::vector<uint16_t> CoreState::identifications() const {
  plat::LockGuard lock(mutex_);
  return identifications_;
}

uint64_t CoreState::resets() const {
  plat::LockGuard lock(mutex_);
  return resets_;
}

void CoreState::clearRecords() {
  plat::LockGuard lock(mutex_);
  requests_.clear();
  identifications_.clear();
  resets_ = 0;
}

std::vector<uint8_t> CoreState::upgradeAnswer(const std::vector<uint8_t>& body,
                                              std::filesystem::path* path) const {
  // "volume\0file\0" and nothing after it.
  const auto firstEnd = std::find(body.begin(), body.end(), uint8_t(0));
  if (firstEnd == body.end()) return {0};
  const auto secondEnd = std::find(firstEnd + 1, body.end(), uint8_t(0));
  if (secondEnd == body.end() || secondEnd + 1 != body.end()) return {0};
  const std::string volume(body.begin(), firstEnd);
  const std::string file(firstEnd + 1, secondEnd);
  const auto it = config_.storage.find(volume);
  if (it == config_.storage.end() || !isPlainFileName(file)) return {0};
  std::error_code ec;
  if (path) *path = it->second / file;
  return {uint8_t(std::filesystem::is_regular_file(it->second / file, ec) ? 1 : 0)};
}

std::vector<uint8_t> CoreState::answer(const std::vector<uint8_t>& request,
                                       std::optional<CoreReplyFault>* fault, bool* reset,
                                       bool* replugAfterReply) {
  *reset = false;
  if (replugAfterReply) *replugAfterReply = false;
  fault->reset();
  if (request.empty()) return {};
  const uint8_t code = request[0];
  const std::vector<uint8_t> body(request.begin() + 1, request.end());

  plat::LockGuard lock(mutex_);
  requests_.push_back({code, body});
  if (auto it = faults_.find(code); it != faults_.end()) *fault = it->second;

  std::vector<uint8_t> value;
  switch (code) {
    case kCoreProtocolList:
      value = config_.protocols;
      break;
    case kCoreFwUpgrade: {
      std::filesystem::path file;
      value = upgradeAnswer(body, &file);
      if (value[0] == 1 && config_.upgradeFirmware) {
        if (std::optional<CoreIdentity> next = config_.upgradeFirmware(file, config_.identity)) {
          config_.identity = std::move(*next);
          if (replugAfterReply) *replugAfterReply = true;
        } else {
          value = {0};
        }
      }
      break;
    }
    case kCoreSetFriendlyName:
      if (body.size() <= config_.maxFriendlyName) {
        config_.friendlyName.assign(body.begin(), body.end());
        value = {1};
      } else {
        value = {0};
      }
      break;
    case kCoreIdentify:
      // A request shorter than its u16 reads the missing bytes as 0.
      identifications_.push_back(
          uint16_t(base::loadLittleEndian(body.data(), std::min<size_t>(body.size(), 2))));
      break;
    case kCoreReset:
      ++resets_;
      *reset = true;
      return {};
    default:
      if (!identityValue(config_.identity, config_.friendlyName, code, &value)) return {};
      break;
  }
  std::vector<uint8_t> reply{uint8_t(code + 1)};
  reply.insert(reply.end(), value.begin(), value.end());
  return reply;
}

void CoreState::runResetHook() {
  std::function<void()> hook;
  {
    plat::LockGuard lock(mutex_);
    hook = resetHook_;
  }
  if (hook) hook();
}

// ---------------------------------------------------------------- CoreService

// Sends replies that a fault holds back, from a thread of the service's own
// so that the device's thread never sleeps.
struct CoreService::Timer {
  struct Pending {
    std::chrono::steady_clock::time_point due;
    std::vector<uint8_t> reply;
    std::shared_future<void> heldUntil;
  };

  explicit Timer(std::shared_ptr<ServiceChannel> channel) : channel(std::move(channel)) {
    thread = std::thread([this] { run(); });
  }
  ~Timer() {
    {
      plat::LockGuard lock(mutex);
      stop = true;
    }
    cv.notify_all();
    thread.join();
  }

  void add(uint32_t delayMs, std::vector<uint8_t> reply, std::shared_future<void> heldUntil) {
    {
      plat::LockGuard lock(mutex);
      pending.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs),
                         std::move(reply), std::move(heldUntil)});
    }
    cv.notify_all();
  }

  void run() {
    plat::UniqueLock lock(mutex);
    while (!stop) {
      if (pending.empty()) {
        cv.wait(lock);
        continue;
      }
      auto next =
          std::min_element(pending.begin(), pending.end(),
                           [](const Pending& a, const Pending& b) { return a.due < b.due; });
      if (std::chrono::steady_clock::now() < next->due) {
        cv.wait_until(lock, next->due);
        continue;
      }
      std::vector<uint8_t> reply = std::move(next->reply);
      std::shared_future<void> heldUntil = std::move(next->heldUntil);
      pending.erase(next);
      if (heldUntil.valid() &&
          heldUntil.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        // Looked at again shortly; a stop does not wait for the release.
        pending.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(10),
                           std::move(reply), std::move(heldUntil)});
        continue;
      }
      lock.unlock();
      channel->send(reply);
      lock.lock();
    }
  }

  std::shared_ptr<ServiceChannel> channel;
  plat::Mutex mutex;
  plat::CondVar cv;
  std::vector<Pending> pending GUARDED_BY(mutex);
  bool stop GUARDED_BY(mutex) = false;
  std::thread thread;
};

CoreService::CoreService(std::shared_ptr<ServiceChannel> channel, std::shared_ptr<CoreState> state)
    : MessageService(std::move(channel)), state_(std::move(state)) {}

CoreService::~CoreService() = default;

ServiceFactory CoreService::factory(std::shared_ptr<CoreState> state) {
  return [state](std::shared_ptr<ServiceChannel> channel) -> std::unique_ptr<Service> {
    return std::make_unique<CoreService>(std::move(channel), state);
  };
}

void CoreService::onMessage(const std::vector<uint8_t>& message) {
  std::optional<CoreReplyFault> fault;
  bool reset = false;
  bool replug = false;
  std::vector<uint8_t> reply = state_->answer(message, &fault, &reset, &replug);
  if (reset) {
    state_->runResetHook();
    return;
  }
  // The new firmware starts once the reply is on its way.
  struct ReplugAtEnd {
    CoreState* state;
    bool due;
    ~ReplugAtEnd() {
      if (due) state->runResetHook();
    }
  } replugAtEnd{state_.get(), replug};
  if (fault) {
    if (fault->silent) return;
    if (reply.empty()) reply.push_back(uint8_t(message.empty() ? 0 : message[0] + 1));
    if (fault->code) reply[0] = *fault->code;
    if (fault->data) {
      reply.resize(1);
      reply.insert(reply.end(), fault->data->begin(), fault->data->end());
    }
  }
  if (reply.empty()) return;  // a request the device does not know
  const uint32_t delayMs = fault ? fault->delayMs : 0;
  const uint32_t copies = 1 + (fault ? fault->extraReplies : 0);
  const std::shared_future<void> heldUntil = fault ? fault->heldUntil : std::shared_future<void>{};
  for (uint32_t i = 0; i < copies; ++i) {
    if (delayMs == 0 && !heldUntil.valid()) {
      channelPtr()->send(reply);
    } else {
      if (!timer_) timer_ = std::make_unique<Timer>(channelPtr());
      timer_->add(delayMs, reply, heldUntil);
    }
  }
}

}  // namespace devsim
