#include "devsim/ParDbService.h"

#include <algorithm>

#include "svcwire/ParDbWire.h"

namespace devsim {

namespace wire = svcwire::pardb;

namespace {

constexpr size_t kRequestLog = 10000;
// A write of the largest value the client takes, with its segment headers.
constexpr size_t kRequestLimit = size_t(wire::kMaxMessage) + size_t(wire::kMaxMessage) / 256;

}  // namespace

bool parseParDbFault(const std::string& text, ParDbFault* fault) {
  static const struct {
    const char* name;
    ParDbFault fault;
  } kNames[] = {{"none", ParDbFault::kNone},
                {"silent", ParDbFault::kSilent},
                {"wrong-code", ParDbFault::kWrongCode},
                {"wrong-length", ParDbFault::kWrongLength},
                {"extra-reply", ParDbFault::kExtraReply}};
  for (const auto& n : kNames) {
    if (text == n.name) {
      *fault = n.fault;
      return true;
    }
  }
  return false;
}

std::vector<uint8_t> ParDbConfig::defaultSignature() {
  std::vector<uint8_t> s(wire::kSignatureSize);
  for (size_t i = 0; i < s.size(); ++i) s[i] = uint8_t(0xC0 + i);
  return s;
}

std::map<uint16_t, ParDbEntry> ParDbConfig::defaultTable() {
  return {
      {0x0001, {{0x01, 0x00}, 2, false}},
      {0x000b, {{0xde, 0xad, 0xbe, 0xef}, 0, false}},
      {0x0010, {{0x00, 0x00, 0x00}, 0, false}},
      {0x0100, {{0x01, 0x08, 0x00, 0x00}, 4, true}},
  };
}

ParDbState::ParDbState(ParDbConfig config) : config_(std::move(config)) {}

ParDbConfig ParDbState::config() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_;
}

std::optional<std::vector<uint8_t>> ParDbState::value(uint16_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = config_.table.find(index);
  if (it == config_.table.end()) return std::nullopt;
  return it->second.value;
}

void ParDbState::setEntry(uint16_t index, ParDbEntry entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.table[index] = std::move(entry);
}

void ParDbState::erase(uint16_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.table.erase(index);
}

void ParDbState::setSignature(const std::vector<uint8_t>& signature) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.signature = signature;
}

void ParDbState::setFault(ParDbFault fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  fault_ = fault;
}

void ParDbState::setReplyDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  delay_ = delay;
}

void ParDbState::setStoreMode(ParDbStoreMode mode, uint16_t announcedMs, uint32_t finishMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  storeMode_ = mode;
  announcedMs_ = announcedMs;
  finishMs_ = finishMs;
}

void ParDbState::inject(const std::vector<uint8_t>& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& entry : channels_)
    if (auto channel = entry.second.lock()) channel->send(message.data(), message.size(), true);
}

std::vector<std::vector<uint8_t>> ParDbState::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {requests_.begin(), requests_.end()};
}

size_t ParDbState::requestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requestCount_;
}

size_t ParDbState::storeCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return storeCount_;
}

size_t ParDbState::openChannels() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return channels_.size();
}

void ParDbState::attach(const std::shared_ptr<ServiceChannel>& channel) {
  std::lock_guard<std::mutex> lock(mutex_);
  channels_.emplace_back(channel.get(), channel);
}

void ParDbState::detach(const ServiceChannel* channel) {
  std::lock_guard<std::mutex> lock(mutex_);
  channels_.erase(std::remove_if(channels_.begin(), channels_.end(),
                                 [channel](const auto& e) { return e.first == channel; }),
                  channels_.end());
}

std::vector<uint8_t> ParDbState::writeStatus(const std::vector<uint8_t>& request) {
  // Segments of 1024 bytes, each [26, index] + data, all of one index.
  const uint8_t lo = request.size() > 1 ? request[1] : 0, hi = request.size() > 2 ? request[2] : 0;
  std::vector<uint8_t> value;
  for (size_t at = 0; at < request.size(); at += wire::kSegmentSize) {
    const size_t end = std::min(request.size(), at + wire::kSegmentSize);
    if (end - at < wire::kHeaderSize || request[at] != wire::kReqWrite || request[at + 1] != lo ||
        request[at + 2] != hi)
      return {wire::kWrite, 0};
    value.insert(value.end(), request.begin() + long(at + wire::kHeaderSize),
                 request.begin() + long(end));
  }
  const uint16_t index = uint16_t(lo | hi << 8);
  auto it = config_.table.find(index);
  if (it == config_.table.end()) {
    config_.table[index] = ParDbEntry{std::move(value), 0, false};
    return {wire::kWrite, wire::kStatusOk};
  }
  ParDbEntry& entry = it->second;
  if (entry.readOnly || (entry.fixedSize && value.size() != entry.fixedSize))
    return {wire::kWrite, 0};
  entry.value = std::move(value);
  return {wire::kWrite, wire::kStatusOk};
}

std::vector<uint8_t> ParDbState::spoil(std::vector<uint8_t> reply) const {
  if (fault_ == ParDbFault::kWrongCode) {
    reply[0] = uint8_t(reply[0] + 2);
  } else if (fault_ == ParDbFault::kWrongLength) {
    if (reply[0] == wire::kSignature)
      reply.pop_back();
    else if (reply[0] == wire::kStore || reply[0] == wire::kWrite)
      reply.push_back(0);
  }
  return reply;
}

std::vector<ParDbState::Reply> ParDbState::answer(const std::vector<uint8_t>& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++requestCount_;
  requests_.push_back(request);
  if (requests_.size() > kRequestLog) requests_.pop_front();
  if (request.empty()) return {};
  std::vector<Reply> replies;
  switch (request[0]) {
    case wire::kReqSignature: {
      std::vector<uint8_t> m{wire::kSignature};
      m.insert(m.end(), config_.signature.begin(), config_.signature.end());
      replies.push_back({delay_, std::move(m)});
      break;
    }
    case wire::kReqStore:
      ++storeCount_;
      if (storeMode_ == ParDbStoreMode::kProgress) {
        replies.push_back({delay_, {wire::kStore, wire::kStoreInProgress, uint8_t(announcedMs_),
                                    uint8_t(announcedMs_ >> 8)}});
        replies.push_back({delay_ + std::chrono::milliseconds(finishMs_), {wire::kStore, wire::kStatusOk}});
      } else {
        const uint8_t status = storeMode_ == ParDbStoreMode::kFail ? 0 : wire::kStatusOk;
        replies.push_back({delay_, {wire::kStore, status}});
      }
      break;
    case wire::kReqRead: {
      std::vector<uint8_t> m{wire::kRead};
      if (request.size() == wire::kHeaderSize) {
        auto it = config_.table.find(uint16_t(request[1] | request[2] << 8));
        if (it != config_.table.end()) m.insert(m.end(), it->second.value.begin(), it->second.value.end());
      }
      replies.push_back({delay_, std::move(m)});
      break;
    }
    case wire::kReqWrite:
      replies.push_back({delay_, writeStatus(request)});
      break;
    default:
      return {};  // not answered, as the device's firmware does
  }
  if (fault_ == ParDbFault::kSilent) return {};
  std::vector<Reply> out;
  for (Reply& r : replies) {
    r.message = spoil(std::move(r.message));
    out.push_back(r);
    if (fault_ == ParDbFault::kExtraReply) out.push_back(r);
  }
  return out;
}

ParDbService::ParDbService(std::shared_ptr<ServiceChannel> channel, std::shared_ptr<ParDbState> state)
    : MessageService(channel, kRequestLimit),
      state_(std::move(state)),
      key_(channel.get()),
      thread_([this] { replier(); }) {
  state_->attach(channel);
}

ParDbService::~ParDbService() {
  state_->detach(key_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void ParDbService::onMessage(const std::vector<uint8_t>& message) {
  const Clock::time_point now = Clock::now();
  std::vector<ParDbState::Reply> replies = state_->answer(message);
  if (replies.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (ParDbState::Reply& r : replies) {
      lastDue_ = std::max(lastDue_, now + r.after);
      queue_.push_back({lastDue_, std::move(r.message)});
    }
  }
  cv_.notify_all();
}

void ParDbService::replier() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stop_) return;
    if (queue_.empty()) {
      cv_.wait(lock);
      continue;
    }
    if (Clock::now() < queue_.front().at) {
      cv_.wait_until(lock, queue_.front().at);
      continue;
    }
    Due due = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    channelPtr()->send(due.message.data(), due.message.size(), true);
    lock.lock();
  }
}

ServiceFactory ParDbService::factory(std::shared_ptr<ParDbState> state) {
  return [state](std::shared_ptr<ServiceChannel> channel) -> std::unique_ptr<Service> {
    return std::make_unique<ParDbService>(std::move(channel), state);
  };
}

}  // namespace devsim
