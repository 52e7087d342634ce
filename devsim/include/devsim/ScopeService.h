// The digital scope service (protocol id 5; svcwire/ScopeWire.h): the
// signature, the capabilities, capture channels over the device's
// parameter table, triggers, the capture parameters, arm and cancel with
// unasked status updates [34, state, fill] at every state change (armed,
// running with rising fill, valid; empty on cancel), and the raw
// configuration and raw data as capture files that the scope codec decodes.
//
// One ScopeState per device holds the configuration, the capture and the
// knobs; every channel's service shares it. Status updates go to every open
// scope channel.
//
// Threads: a ScopeService runs on the device's thread; ScopeState may be
// used from any thread. It runs one thread of its own (delayed replies and
// the capture's progress), stopped in its destructor. Its lock is a leaf:
// ServiceChannel::send only queues.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "devsim/Service.h"

namespace devsim {

struct ScopeConfig {
  std::vector<uint8_t> signature = std::vector<uint8_t>(16, 0x5C);
  uint8_t maxChannels = 8;
  uint8_t maxTriggers = 4;
  uint8_t baseSampleSize = 4;
  uint32_t timeBaseBits = 0x38D1B717;  // 0.0001 s
  uint32_t bufferSize = 65536;
  float maxCaptureTime = 10.0f;
  // The parameters the scope can sample: index to size in bytes (1 to 8).
  std::map<uint16_t, uint8_t> parameters{{1, 1}, {2, 2}, {3, 4}, {4, 8}, {5, 4}, {7, 1}, {0x1234, 4}};
  // Bytes of the capture file that raw data delivers (when the channels
  // allow that length exactly; else the longest that fits below it).
  uint32_t captureSize = 4096;
  // The running phase after arm: this many updates with rising fill, this
  // far apart, then valid.
  int runningSteps = 4;
  uint32_t stepMs = 40;
};

struct ScopeChannelDef {
  uint16_t index;
  float period;
};

struct ScopeTriggerDef {
  uint16_t index;
  uint8_t kind;
  std::vector<uint8_t> threshold;
};

class ScopeState {
 public:
  explicit ScopeState(ScopeConfig config = {});
  ~ScopeState();
  ScopeState(const ScopeState&) = delete;
  ScopeState& operator=(const ScopeState&) = delete;

  ScopeConfig config() const;
  std::vector<ScopeChannelDef> channels() const;
  std::vector<ScopeTriggerDef> triggers() const;
  uint8_t state() const;
  uint8_t mode() const;
  // Every request message received, in order.
  std::vector<std::vector<uint8_t>> requests() const;
  // The capture file of the last raw reply (raw data or configuration).
  std::vector<uint8_t> lastCapture() const;
  size_t openChannels() const;

  // Knobs. Silent: requests are taken but never answered.
  void setSilent(bool silent);
  // The reply to the next request is these bytes instead (a wrong code, a
  // wrong length, a long list, a status-only raw reply...).
  void replaceNextReply(std::vector<uint8_t> message);
  // Every reply is sent twice.
  void setDuplicateReplies(bool duplicate);
  // Replies leave this long after their request, in request order.
  void setReplyDelay(uint32_t ms);
  void setCaptureSize(uint32_t bytes);
  // A raw reply sends its header and first kilobyte, then nothing more.
  void setStallRaw(bool stall);
  // A raw reply sends its header and first kilobyte, then the rest this
  // long after (0: at once); later replies wait behind it.
  void setRawPause(uint32_t ms);
  // Sends these bytes as one message on every open scope channel now.
  void inject(const std::vector<uint8_t>& message);

  // The messages as the device builds them.
  static std::vector<uint8_t> statusMessage(uint8_t state, float fill);
  // [code, status], then the maximum capture time and `count` entries.
  static std::vector<uint8_t> listMessage(uint8_t code, uint8_t status, float maxTime,
                                          const std::vector<ScopeChannelDef>& entries);
  // A capture file of the configuration, and with data bytes of about
  // `size` in all (0: none).
  static std::vector<uint8_t> captureFile(const std::vector<uint8_t>& setId, uint8_t filler,
                                          float captureTime, float preTime,
                                          const std::vector<ScopeTriggerDef>& triggers,
                                          const std::vector<ScopeChannelDef>& channels,
                                          const std::map<uint16_t, uint8_t>& sizes,
                                          uint32_t size);

  // Service side.
  void attach(const std::shared_ptr<ServiceChannel>& channel);
  void detach(const ServiceChannel* channel);
  void onRequest(const std::shared_ptr<ServiceChannel>& channel, const std::vector<uint8_t>& message);

 private:
  using Action = std::function<void()>;
  // mutex_ held.
  std::vector<uint8_t> answer(const std::vector<uint8_t>& message);
  std::vector<uint8_t> channelReply(uint8_t code, const std::vector<uint8_t>& message);
  std::vector<uint8_t> triggerReply(uint8_t code, const std::vector<uint8_t>& message);
  std::vector<uint8_t> armReply();
  std::vector<uint8_t> rawReply(uint8_t code);
  void reply(const std::shared_ptr<ServiceChannel>& channel, std::vector<uint8_t> message,
             bool stall, uint32_t pauseMs);
  void push(const std::vector<uint8_t>& message);
  void setState(uint8_t state, float fill);
  void runTimer();

  mutable std::mutex mutex_;
  std::condition_variable timerCv_;
  // Guarded by mutex_:
  ScopeConfig config_;
  std::vector<ScopeChannelDef> channels_;
  std::vector<ScopeTriggerDef> triggers_;
  uint8_t mode_ = 1;
  float captureTime_ = 1.0f;
  float preTime_ = 0.0f;
  uint8_t state_ = 0;
  uint64_t captureRun_ = 0;  // bumped by arm and cancel: older steps are void
  bool silent_ = false;
  bool duplicate_ = false;
  bool stallRaw_ = false;
  uint32_t rawPauseMs_ = 0;
  uint32_t delayMs_ = 0;
  bool haveReplacement_ = false;
  std::vector<uint8_t> replacement_;
  std::vector<std::vector<uint8_t>> requests_;
  std::vector<uint8_t> lastCapture_;
  std::vector<std::pair<std::weak_ptr<ServiceChannel>, const ServiceChannel*>> subscribers_;
  std::multimap<std::chrono::steady_clock::time_point, Action> timers_;
  std::chrono::steady_clock::time_point lastReplyDue_{};
  // Set going by the request being answered: ms after its reply.
  std::vector<std::pair<uint32_t, Action>> afterReply_;
  bool stop_ = false;
  std::thread timer_;  // last: started when everything else exists
};

class ScopeService : public MessageService {
 public:
  ScopeService(std::shared_ptr<ServiceChannel> channel, std::shared_ptr<ScopeState> state);
  ~ScopeService() override;

  static ServiceFactory factory(std::shared_ptr<ScopeState> state);

 protected:
  void onMessage(const std::vector<uint8_t>& message) override;

 private:
  std::shared_ptr<ScopeState> state_;
  const ServiceChannel* key_;
};

}  // namespace devsim
