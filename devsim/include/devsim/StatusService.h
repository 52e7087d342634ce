// The status service (protocol id 4; svcwire/StatusWire.h): the signature
// of the device's status table, and, once a channel has asked with
// [18, mask], its power states (32), active events (34) and status text (36)
// at once and again at every change. Every new channel starts without
// notifications.
//
// One StatusState per device holds the values and the knobs; every channel's
// service shares it. Setting a value pushes the changed message to every
// channel that asked.
//
// Threads: a StatusService runs on the device's thread; StatusState may be
// used from any thread. Its lock is a leaf: ServiceChannel::send only queues.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "devsim/Service.h"
#include "plat/threadsafety.h"

namespace devsim {

struct StatusConfig {
  std::vector<uint8_t> signature = std::vector<uint8_t>(16, 0x5A);
  std::vector<uint16_t> powerStates{1, 0x0102};
  std::vector<uint16_t> events{0, 2, 15};  // active event numbers
  std::string text = "System ready";
};

class StatusState {
 public:
  explicit StatusState(StatusConfig config = {});

  StatusConfig config() const;
  // Run-time values: each pushes its message to the channels that asked.
  void setPowerStates(const std::vector<uint16_t>& values);
  void setEvents(const std::vector<uint16_t>& events);
  void setText(const std::string& text);
  void setSignature(const std::vector<uint8_t>& signature);

  // Knobs. Silent: requests are taken but never answered.
  void setSilent(bool silent);
  // Messages of this code (32, 34 or 36) are not sent while withheld.
  void withhold(uint8_t code, bool withheld);
  // Sends these bytes as one message (empty: an empty last fragment) on every
  // open status channel, asked or not.
  void inject(const std::vector<uint8_t>& message);

  // Notification requests received (their mask bytes), on every channel.
  std::vector<uint8_t> notificationRequests() const;
  size_t signatureRequests() const;
  // Channels open now, and how many of them asked for notifications.
  size_t openChannels() const;
  size_t notifiedChannels() const;

  // The messages as the device sends them.
  static std::vector<uint8_t> powerMessage(const std::vector<uint16_t>& values);
  static std::vector<uint8_t> eventMessage(const std::vector<uint16_t>& events);
  static std::vector<uint8_t> textMessage(const std::string& text);

  // Service side.
  void attach(const std::shared_ptr<ServiceChannel>& channel);
  void detach(const ServiceChannel* channel);
  void onRequest(const std::shared_ptr<ServiceChannel>& channel,
                 const std::vector<uint8_t>& message);

 private:
  struct Subscriber {
    std::weak_ptr<ServiceChannel> channel;
    const ServiceChannel* key = nullptr;
    bool notified = false;
  };
  void push(const std::vector<uint8_t>& message) REQUIRES(mutex_);
  bool sendable(const std::vector<uint8_t>& message) const REQUIRES(mutex_);

  mutable plat::Mutex mutex_;
  // Guarded by mutex_:
  StatusConfig config_ GUARDED_BY(mutex_);
  bool silent_ GUARDED_BY(mutex_) = false;
  std::set<uint8_t> withheld_ GUARDED_BY(mutex_);
  std::vector<Subscriber> subscribers_ GUARDED_BY(mutex_);
  std::vector<uint8_t> notificationRequests_ GUARDED_BY(mutex_);
  size_t signatureRequests_ GUARDED_BY(mutex_) = 0;
};

class StatusService : public MessageService {
 public:
  StatusService(std::shared_ptr<ServiceChannel> channel, std::shared_ptr<StatusState> state);
  ~StatusService() override;

  static ServiceFactory factory(std::shared_ptr<StatusState> state);

 protected:
  void onMessage(const std::vector<uint8_t>& message) override;

 private:
  std::shared_ptr<StatusState> state_;
  const ServiceChannel* key_;
};

}  // namespace devsim
