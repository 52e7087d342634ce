#include "devsim/StatusService.h"

#include <algorithm>
#include <cstring>

#include "base/ByteReader.h"
#include "svcwire/StatusWire.h"

namespace devsim {

namespace wire = svcwire::status;

StatusState::StatusState(StatusConfig config) : config_(std::move(config)) {}

StatusConfig StatusState::config() const {
  plat::LockGuard lock(mutex_);
  return config_;
}

std::vector<uint8_t> StatusState::powerMessage(const std::vector<uint16_t>& values) {
  base::ByteWriter m;
  m.u8(wire::kPowerStates);
  for (uint16_t v : values) m.u16(v);
  return m.take();
}

std::vector<uint8_t> StatusState::eventMessage(const std::vector<uint16_t>& events) {
  std::vector<uint8_t> m{wire::kEvents};
  for (uint16_t e : events) {
    const size_t byte = 1 + e / 8u;
    if (m.size() <= byte) m.resize(byte + 1, 0);
    m[byte] = uint8_t(m[byte] | 1u << (e % 8u));
  }
  return m;
}

std::vector<uint8_t> StatusState::textMessage(const std::string& text) {
  std::vector<uint8_t> m(1 + text.size());
  m[0] = wire::kStatusText;
  if (!text.empty()) std::memcpy(m.data() + 1, text.data(), text.size());
  return m;
}

bool StatusState::sendable(const std::vector<uint8_t>& message) const {
  return !silent_ && !(message.size() > 0 && withheld_.count(message[0]));
}

void StatusState::push(const std::vector<uint8_t>& message) {
  for (const Subscriber& s : subscribers_) {
    if (!s.notified || !sendable(message)) continue;
    if (auto channel = s.channel.lock()) channel->send(message);
  }
}

void StatusState::setPowerStates(const std::vector<uint16_t>& values) {
  plat::LockGuard lock(mutex_);
  config_.powerStates = values;
  push(powerMessage(values));
}

void StatusState::setEvents(const std::vector<uint16_t>& events) {
  plat::LockGuard lock(mutex_);
  config_.events = events;
  push(eventMessage(events));
}

void StatusState::setText(const std::string& text) {
  plat::LockGuard lock(mutex_);
  config_.text = text;
  push(textMessage(text));
}

void StatusState::setSignature(const std::vector<uint8_t>& signature) {
  plat::LockGuard lock(mutex_);
  config_.signature = signature;
}

void StatusState::setSilent(bool silent) {
  plat::LockGuard lock(mutex_);
  silent_ = silent;
}

void StatusState::withhold(uint8_t code, bool withheld) {
  plat::LockGuard lock(mutex_);
  if (withheld)
    withheld_.insert(code);
  else
    withheld_.erase(code);
}

void StatusState::inject(const std::vector<uint8_t>& message) {
  plat::LockGuard lock(mutex_);
  for (const Subscriber& s : subscribers_) {
    if (auto channel = s.channel.lock()) channel->send(message.data(), message.size(), true);
  }
}

std::vector<uint8_t> StatusState::notificationRequests() const {
  plat::LockGuard lock(mutex_);
  return notificationRequests_;
}

size_t StatusState::signatureRequests() const {
  plat::LockGuard lock(mutex_);
  return signatureRequests_;
}

size_t StatusState::openChannels() const {
  plat::LockGuard lock(mutex_);
  return subscribers_.size();
}

size_t StatusState::notifiedChannels() const {
  plat::LockGuard lock(mutex_);
  return size_t(std::count_if(subscribers_.begin(), subscribers_.end(),
                              [](const Subscriber& s) { return s.notified; }));
}

void StatusState::attach(const std::shared_ptr<ServiceChannel>& channel) {
  plat::LockGuard lock(mutex_);
  subscribers_.push_back({channel, channel.get(), false});
}

void StatusState::detach(const ServiceChannel* channel) {
  plat::LockGuard lock(mutex_);
  subscribers_.erase(std::remove_if(subscribers_.begin(), subscribers_.end(),
                                    [channel](const Subscriber& s) { return s.key == channel; }),
                     subscribers_.end());
}

void StatusState::onRequest(const std::shared_ptr<ServiceChannel>& channel,
                            const std::vector<uint8_t>& message) {
  plat::LockGuard lock(mutex_);
  if (message.empty()) return;
  if (message[0] == wire::kReqSignature) {
    ++signatureRequests_;
    if (silent_) return;
    std::vector<uint8_t> reply{wire::kSignature};
    reply.insert(reply.end(), config_.signature.begin(), config_.signature.end());
    channel->send(reply);
  } else if (message[0] == wire::kReqNotifications) {
    notificationRequests_.push_back(message.size() > 1 ? message[1] : 0);
    for (Subscriber& s : subscribers_)
      if (s.key == channel.get()) s.notified = true;
    for (const std::vector<uint8_t>& m : {powerMessage(config_.powerStates),
                                          eventMessage(config_.events), textMessage(config_.text)})
      if (sendable(m)) channel->send(m);
  }
  // Anything else is not answered, as the device's firmware does.
}

StatusService::StatusService(std::shared_ptr<ServiceChannel> channel,
                             std::shared_ptr<StatusState> state)
    : MessageService(channel, 64), state_(std::move(state)), key_(channel.get()) {
  state_->attach(channel);
}

StatusService::~StatusService() { state_->detach(key_); }

void StatusService::onMessage(const std::vector<uint8_t>& message) {
  state_->onRequest(channelPtr(), message);
}

ServiceFactory StatusService::factory(std::shared_ptr<StatusState> state) {
  return [state](std::shared_ptr<ServiceChannel> channel) -> std::unique_ptr<Service> {
    return std::make_unique<StatusService>(std::move(channel), state);
  };
}

}  // namespace devsim
