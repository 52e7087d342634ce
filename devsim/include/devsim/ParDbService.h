// The parameter database service (protocol id 2; svcwire/ParDbWire.h): a
// table of parameters by index (bytes, optionally of a fixed size, some
// read-only), the table's signature, reads, writes (joined from their
// 1024-byte segments by offset) and a store that can take its time,
// reporting progress with [19, 2, N] before its final [19, status].
//
// Replies leave in the order of the requests: each is due some time after
// its request (the reply delay knob, the store's times) and never before
// the reply ahead of it, so a slow reply holds back the ones behind it.
//
// One ParDbState per device holds the table and the knobs; every channel's
// service shares it. Knobs act on requests that arrive after they are set.
//
// Threads: a ParDbService runs on the device's thread and sends from a
// replier thread of its own, which its destructor joins; ParDbState may be
// used from any thread. Its lock is a leaf: ServiceChannel::send only queues.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "devsim/Service.h"

namespace devsim {

struct ParDbEntry {
  std::vector<uint8_t> value;
  size_t fixedSize = 0;  // 0: any length may be written
  bool readOnly = false;
};

struct ParDbConfig {
  std::vector<uint8_t> signature = defaultSignature();
  std::map<uint16_t, ParDbEntry> table = defaultTable();

  static std::vector<uint8_t> defaultSignature();
  // A few parameters for the devsim program and the consoles.
  static std::map<uint16_t, ParDbEntry> defaultTable();
};

enum class ParDbStoreMode {
  kDone,        // [19, 1] at once
  kProgress,    // [19, 2, N], then [19, 1] after the finish time
  kFail,        // [19, 0] at once
};

enum class ParDbFault {
  kNone,
  kSilent,       // requests are taken, never answered
  kWrongCode,    // every reply carries its code + 2
  kWrongLength,  // signature of 15 bytes, store and write status of 2 bytes
  kExtraReply,   // every reply is sent twice
};

// "silent", "wrong-code", "wrong-length" or "extra-reply" (and "none").
bool parseParDbFault(const std::string& text, ParDbFault* fault);

class ParDbState {
 public:
  // A reply and how long after its request it is due.
  struct Reply {
    std::chrono::milliseconds after{0};
    std::vector<uint8_t> message;
  };

  explicit ParDbState(ParDbConfig config = {});

  ParDbConfig config() const;
  std::optional<std::vector<uint8_t>> value(uint16_t index) const;
  void setEntry(uint16_t index, ParDbEntry entry);
  void erase(uint16_t index);
  void setSignature(const std::vector<uint8_t>& signature);

  // Knobs.
  void setFault(ParDbFault fault);
  // Every reply is due this long after its request.
  void setReplyDelay(std::chrono::milliseconds delay);
  // kProgress: the progress reply announces `announcedMs` (N) and the final
  // one follows `finishMs` after it.
  void setStoreMode(ParDbStoreMode mode, uint16_t announcedMs = 0, uint32_t finishMs = 0);
  // Sends these bytes as one message (empty: an empty last fragment) on every
  // open channel, now, asked or not.
  void inject(const std::vector<uint8_t>& message);

  // Requests received on every channel, whole (up to the last 10000).
  std::vector<std::vector<uint8_t>> requests() const;
  size_t requestCount() const;
  size_t storeCount() const;
  size_t openChannels() const;

  // Service side: the replies a request gets, in order (none: silent).
  std::vector<Reply> answer(const std::vector<uint8_t>& request);
  void attach(const std::shared_ptr<ServiceChannel>& channel);
  void detach(const ServiceChannel* channel);

 private:
  std::vector<uint8_t> writeStatus(const std::vector<uint8_t>& request);  // mutex_ held
  std::vector<uint8_t> spoil(std::vector<uint8_t> reply) const;          // mutex_ held

  mutable std::mutex mutex_;
  // Guarded by mutex_:
  ParDbConfig config_;
  ParDbFault fault_ = ParDbFault::kNone;
  std::chrono::milliseconds delay_{0};
  ParDbStoreMode storeMode_ = ParDbStoreMode::kDone;
  uint16_t announcedMs_ = 0;
  uint32_t finishMs_ = 0;
  std::deque<std::vector<uint8_t>> requests_;
  size_t requestCount_ = 0;
  size_t storeCount_ = 0;
  std::vector<std::pair<const ServiceChannel*, std::weak_ptr<ServiceChannel>>> channels_;
};

class ParDbService : public MessageService {
 public:
  ParDbService(std::shared_ptr<ServiceChannel> channel, std::shared_ptr<ParDbState> state);
  ~ParDbService() override;

  static ServiceFactory factory(std::shared_ptr<ParDbState> state);

 protected:
  void onMessage(const std::vector<uint8_t>& message) override;

 private:
  using Clock = std::chrono::steady_clock;
  struct Due {
    Clock::time_point at;
    std::vector<uint8_t> message;
  };
  void replier();

  std::shared_ptr<ParDbState> state_;
  const ServiceChannel* key_;
  std::mutex mutex_;
  std::condition_variable cv_;
  // Guarded by mutex_:
  std::deque<Due> queue_;
  Clock::time_point lastDue_{};
  bool stop_ = false;
  std::thread thread_;  // last: starts once the rest is made
};

}  // namespace devsim
