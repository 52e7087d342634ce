#include "devsim/ScopeService.h"

#include <algorithm>
#include <cstring>

#include "base/ByteReader.h"
#include "svcwire/ScopeWire.h"

namespace devsim {

namespace wire = svcwire::scope;
using Clock = std::chrono::steady_clock;

namespace {

void putU16(std::vector<uint8_t>& m, uint16_t v) {
  m.push_back(uint8_t(v));
  m.push_back(uint8_t(v >> 8));
}

void putU32(std::vector<uint8_t>& m, uint32_t v) {
  for (int i = 0; i < 4; ++i) m.push_back(uint8_t(v >> (8 * i)));
}

void putFloat(std::vector<uint8_t>& m, float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  putU32(m, bits);
}

float floatOf(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

bool busy(uint8_t state) { return state == wire::kArmed || state == wire::kRunning; }

}  // namespace

ScopeState::ScopeState(ScopeConfig config)
    : config_(std::move(config)), timer_([this] { runTimer(); }) {}

ScopeState::~ScopeState() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  timerCv_.notify_all();
  timer_.join();
}

ScopeConfig ScopeState::config() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_;
}

std::vector<ScopeChannelDef> ScopeState::channels() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return channels_;
}

std::vector<ScopeTriggerDef> ScopeState::triggers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return triggers_;
}

uint8_t ScopeState::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

uint8_t ScopeState::mode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mode_;
}

std::vector<std::vector<uint8_t>> ScopeState::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<uint8_t> ScopeState::lastCapture() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastCapture_;
}

size_t ScopeState::openChannels() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return subscribers_.size();
}

void ScopeState::setSilent(bool silent) {
  std::lock_guard<std::mutex> lock(mutex_);
  silent_ = silent;
}

void ScopeState::replaceNextReply(std::vector<uint8_t> message) {
  std::lock_guard<std::mutex> lock(mutex_);
  replacement_ = std::move(message);
  haveReplacement_ = true;
}

void ScopeState::setDuplicateReplies(bool duplicate) {
  std::lock_guard<std::mutex> lock(mutex_);
  duplicate_ = duplicate;
}

void ScopeState::setReplyDelay(uint32_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  delayMs_ = ms;
}

void ScopeState::setCaptureSize(uint32_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.captureSize = bytes;
}

void ScopeState::setStallRaw(bool stall) {
  std::lock_guard<std::mutex> lock(mutex_);
  stallRaw_ = stall;
}

void ScopeState::setRawPause(uint32_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  rawPauseMs_ = ms;
}

void ScopeState::inject(const std::vector<uint8_t>& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  push(message);
}

std::vector<uint8_t> ScopeState::statusMessage(uint8_t state, float fill) {
  std::vector<uint8_t> m{wire::kStatusUpdate, state};
  putFloat(m, fill);
  return m;
}

std::vector<uint8_t> ScopeState::listMessage(uint8_t code, uint8_t status, float maxTime,
                                             const std::vector<ScopeChannelDef>& entries) {
  std::vector<uint8_t> m{code, status};
  if (entries.empty()) return m;
  putFloat(m, maxTime);
  for (const ScopeChannelDef& e : entries) {
    putU16(m, e.index);
    putFloat(m, e.period);
  }
  return m;
}

std::vector<uint8_t> ScopeState::captureFile(const std::vector<uint8_t>& setId, uint8_t filler,
                                             float captureTime, float preTime,
                                             const std::vector<ScopeTriggerDef>& triggers,
                                             const std::vector<ScopeChannelDef>& channels,
                                             const std::map<uint16_t, uint8_t>& sizes,
                                             uint32_t size) {
  std::vector<uint8_t> f{1, 8};  // API level 1, one byte a word
  for (size_t i = 0; i < 16; ++i) f.push_back(i < setId.size() ? setId[i] : 0);
  f.push_back(filler);
  putFloat(f, captureTime);
  putFloat(f, preTime);
  putU16(f, uint16_t(triggers.size()));
  for (const ScopeTriggerDef& t : triggers) {
    putU16(f, t.index);
    f.push_back(t.kind);
    const size_t n = std::min<size_t>(t.threshold.size(), 8);
    f.push_back(uint8_t(n));
    for (size_t i = 0; i < 8; ++i) f.push_back(i < n ? t.threshold[i] : 0);
  }
  putU16(f, uint16_t(channels.size()));
  size_t step = 0;  // bytes of one step: every channel samples at every step
  for (const ScopeChannelDef& c : channels) {
    auto it = sizes.find(c.index);
    const uint8_t sampleSize = it == sizes.end() ? 1 : it->second;
    step += sampleSize;
    putU16(f, c.index);
    f.push_back(sampleSize);
    f.push_back(1);  // divider
    putFloat(f, c.period);
  }
  if (size == 0 || step == 0) return f;

  // Data: m blocks of an 8-byte header and whole steps, as close to `size`
  // in all as the step allows (one step at the least).
  const size_t head = f.size() + 4;
  const size_t maxSteps = (65535 - 8) / step;
  size_t data = size > head + 8 + step ? size - head : 8 + step;
  size_t blocks = 0, steps = 0;
  for (; data >= 8 + step && !blocks; --data) {
    const size_t first =
        std::max<size_t>(1, (data + 8 + maxSteps * step - 1) / (8 + maxSteps * step));
    for (size_t m = first; m <= first + step && 8 * m + m * step <= data; ++m) {
      if ((data - 8 * m) % step) continue;
      blocks = m;
      steps = (data - 8 * m) / step;
      break;
    }
    if (blocks) break;
  }
  const bool triggered = !triggers.empty() && filler != 1;
  // The trigger lies halfway through the data.
  putU32(f, triggered ? uint32_t(data / 2) : 0x80000000u);
  float timeStep = channels.front().period > 0 ? channels.front().period : 0.001f;
  uint32_t pattern = 0;
  for (size_t b = 0; b < blocks; ++b) {
    const size_t n = steps / blocks + (b < steps % blocks ? 1 : 0);
    putU16(f, uint16_t(8 + n * step));
    putU16(f, 0);
    putFloat(f, timeStep);
    for (size_t i = 0; i < n * step; ++i) f.push_back(uint8_t(pattern++ * 7 + 3));
  }
  return f;
}

void ScopeState::attach(const std::shared_ptr<ServiceChannel>& channel) {
  std::lock_guard<std::mutex> lock(mutex_);
  subscribers_.push_back({channel, channel.get()});
}

void ScopeState::detach(const ServiceChannel* channel) {
  std::lock_guard<std::mutex> lock(mutex_);
  subscribers_.erase(std::remove_if(subscribers_.begin(), subscribers_.end(),
                                    [channel](const auto& s) { return s.second == channel; }),
                     subscribers_.end());
}

void ScopeState::push(const std::vector<uint8_t>& message) {
  for (const auto& s : subscribers_)
    if (auto channel = s.first.lock()) channel->send(message.data(), message.size(), true);
}

void ScopeState::setState(uint8_t state, float fill) {
  state_ = state;
  push(statusMessage(state, fill));
}

void ScopeState::runTimer() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (timers_.empty()) {
      timerCv_.wait(lock);
      continue;
    }
    const auto due = timers_.begin()->first;
    if (Clock::now() < due) {
      timerCv_.wait_until(lock, due);
      continue;
    }
    Action action = std::move(timers_.begin()->second);
    timers_.erase(timers_.begin());
    action();
  }
}

void ScopeState::reply(const std::shared_ptr<ServiceChannel>& channel, std::vector<uint8_t> message,
                       bool stall, uint32_t pauseMs) {
  std::weak_ptr<ServiceChannel> weak = channel;
  const size_t first = std::min<size_t>(message.size(), 1030);
  auto shared = std::make_shared<std::vector<uint8_t>>(std::move(message));
  auto send = [this, weak, shared, stall, pauseMs, first] {
    auto to = weak.lock();
    if (!to) return;
    if (!stall && !pauseMs) {
      to->send(shared->data(), shared->size(), true);
      return;
    }
    // The header and a first kilobyte; the rest later, or never.
    to->send(shared->data(), first, false);
    if (stall) return;
    const auto rest = Clock::now() + std::chrono::milliseconds(pauseMs);
    lastReplyDue_ = std::max(lastReplyDue_, rest);
    timers_.emplace(rest, [weak, shared, first] {
      if (auto again = weak.lock())
        again->send(shared->data() + first, shared->size() - first, true);
    });
    timerCv_.notify_all();
  };
  const auto now = Clock::now();
  if (delayMs_ == 0 && lastReplyDue_ <= now) {
    send();
    return;
  }
  // Delayed replies keep their order.
  const auto due = std::max(now + std::chrono::milliseconds(delayMs_), lastReplyDue_);
  lastReplyDue_ = due;
  timers_.emplace(due, std::move(send));
  timerCv_.notify_all();
}

std::vector<uint8_t> ScopeState::channelReply(uint8_t code, const std::vector<uint8_t>& message) {
  base::ByteReader in(message);
  in.u8();
  const uint16_t index = in.u16();
  const float period = code == wire::kRemoveChannel ? 0.0f : floatOf(in.u32());
  auto found = std::find_if(channels_.begin(), channels_.end(),
                            [index](const ScopeChannelDef& c) { return c.index == index; });
  uint8_t status = wire::kNoError;
  if (!in.done() || busy(state_)) {
    status = wire::kInvalidState;
  } else if (code == wire::kAddChannel) {
    if (!config_.parameters.count(index))
      status = wire::kParameterNotFound;
    else if (found != channels_.end())
      status = wire::kDuplicatedChannel;
    else if (channels_.size() >= config_.maxChannels)
      status = wire::kExceedChannels;
    else if (!(period > 0))
      status = wire::kSamplingTimeOutOfRange;
    else
      channels_.push_back({index, period});
  } else if (found == channels_.end()) {
    status = wire::kChannelNotFound;
  } else if (code == wire::kModifyChannel) {
    if (!(period > 0))
      status = wire::kSamplingTimeOutOfRange;
    else
      found->period = period;
  } else {
    channels_.erase(found);
  }
  return listMessage(code, status, config_.maxCaptureTime, channels_);
}

std::vector<uint8_t> ScopeState::triggerReply(uint8_t code, const std::vector<uint8_t>& message) {
  base::ByteReader in(message);
  in.u8();
  const uint16_t index = in.u16();
  auto status = [code](uint8_t s) { return std::vector<uint8_t>{code, s}; };
  if (busy(state_)) return status(wire::kInvalidState);
  if (code == wire::kRemoveTrigger) {
    if (!in.done()) return status(wire::kInvalidState);
    if (index >= triggers_.size()) return status(wire::kInvalidChannelIndex);
    triggers_.erase(triggers_.begin() + index);
    return status(wire::kNoError);
  }
  const uint8_t kind = in.u8();
  if (in.failed()) return status(wire::kInvalidState);
  std::vector<uint8_t> threshold(message.begin() + 4, message.end());
  auto parameter = config_.parameters.find(index);
  if (parameter == config_.parameters.end()) return status(wire::kParameterNotFound);
  if (kind < 1 || kind > 4) return status(wire::kUnsupportedTriggerType);
  if (threshold.size() != parameter->second) return status(wire::kParameterSizeMismatch);
  auto found = std::find_if(triggers_.begin(), triggers_.end(),
                            [index](const ScopeTriggerDef& t) { return t.index == index; });
  if (code == wire::kModifyTrigger) {
    if (found == triggers_.end()) return status(wire::kInvalidChannelIndex);
    *found = {index, kind, threshold};
    return status(wire::kNoError);
  }
  if (triggers_.size() >= config_.maxTriggers) return status(wire::kExceedTriggers);
  triggers_.push_back({index, kind, threshold});
  return status(wire::kNoError);
}

std::vector<uint8_t> ScopeState::armReply() {
  if (busy(state_)) return {wire::kArm, wire::kInvalidState};
  if (channels_.empty()) return {wire::kArm, wire::kNoChannelsDefined};
  if (mode_ != 1 && triggers_.empty()) return {wire::kArm, wire::kNoTriggersDefined};
  const uint64_t run = ++captureRun_;
  const int steps = std::max(config_.runningSteps, 1);
  // After the reply: armed, running, valid.
  afterReply_.emplace_back(0, [this, run] {
    if (run == captureRun_) setState(wire::kArmed, 0.0f);
  });
  for (int i = 1; i <= steps; ++i) {
    afterReply_.emplace_back(uint32_t(i) * config_.stepMs, [this, run, i, steps] {
      if (run == captureRun_) setState(wire::kRunning, 100.0f * float(i) / float(steps));
    });
  }
  afterReply_.emplace_back(uint32_t(steps + 1) * config_.stepMs, [this, run] {
    if (run == captureRun_) setState(wire::kValid, 100.0f);
  });
  return {wire::kArm, wire::kNoError};
}

std::vector<uint8_t> ScopeState::rawReply(uint8_t code) {
  if (code == wire::kRawData && state_ != wire::kValid) return {code, wire::kInvalidState};
  lastCapture_ = captureFile(config_.signature, mode_, captureTime_, preTime_, triggers_, channels_,
                             config_.parameters, code == wire::kRawData ? config_.captureSize : 0);
  std::vector<uint8_t> m{code, wire::kNoError};
  putU32(m, uint32_t(lastCapture_.size()));
  m.insert(m.end(), lastCapture_.begin(), lastCapture_.end());
  return m;
}

std::vector<uint8_t> ScopeState::answer(const std::vector<uint8_t>& message) {
  const uint8_t code = uint8_t(message[0] + 1);
  switch (message[0]) {
    case wire::kReqSignature: {
      std::vector<uint8_t> m{wire::kSignature};
      m.insert(m.end(), config_.signature.begin(), config_.signature.end());
      m.resize(1 + wire::kSignatureSize);
      return m;
    }
    case wire::kReqCapabilities: {
      std::vector<uint8_t> m{wire::kCapabilities, wire::kNoError, config_.maxChannels,
                             config_.maxTriggers, config_.baseSampleSize};
      putU32(m, config_.timeBaseBits);
      putU32(m, config_.bufferSize);
      return m;
    }
    case wire::kReqAddChannel:
    case wire::kReqModifyChannel:
    case wire::kReqRemoveChannel:
      return channelReply(code, message);
    case wire::kReqAddTrigger:
    case wire::kReqModifyTrigger:
    case wire::kReqRemoveTrigger:
      return triggerReply(code, message);
    case wire::kReqSetParameters: {
      base::ByteReader in(message);
      in.u8();
      const uint8_t mode = in.u8();
      const float capture = floatOf(in.u32()), pre = floatOf(in.u32());
      if (!in.done() || busy(state_) || mode < 1 || mode > 5) return {code, wire::kInvalidState};
      if (!(capture > 0) || capture > config_.maxCaptureTime)
        return {code, wire::kSamplingTimeOutOfRange};
      if (pre < 0 || pre > capture) return {code, wire::kPreTriggerOverflow};
      mode_ = mode;
      captureTime_ = capture;
      preTime_ = pre;
      return {code, wire::kNoError};
    }
    case wire::kReqArm:
      return armReply();
    case wire::kReqCancel:
      ++captureRun_;
      afterReply_.emplace_back(0, [this] { setState(wire::kEmpty, 0.0f); });
      return {code, wire::kNoError};
    case wire::kReqRawConfiguration:
    case wire::kReqRawData:
      return rawReply(code);
    default:
      return {};  // not answered
  }
}

void ScopeState::onRequest(const std::shared_ptr<ServiceChannel>& channel,
                           const std::vector<uint8_t>& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (message.empty()) return;
  requests_.push_back(message);
  if (silent_) return;
  std::vector<uint8_t> out;
  if (haveReplacement_) {
    out = std::move(replacement_);
    haveReplacement_ = false;
  } else {
    out = answer(message);
  }
  if (out.empty()) {
    afterReply_.clear();
    return;
  }
  const bool raw = out[0] == wire::kRawData || out[0] == wire::kRawConfiguration;
  const bool stall = stallRaw_ && raw;
  const uint32_t pause = raw ? rawPauseMs_ : 0;
  if (duplicate_) reply(channel, out, stall, pause);
  reply(channel, std::move(out), stall, pause);
  // What the request set going follows its reply, however late that leaves.
  const auto base = std::max(Clock::now(), lastReplyDue_);
  for (auto& [afterMs, action] : afterReply_)
    timers_.emplace(base + std::chrono::milliseconds(afterMs), std::move(action));
  if (!afterReply_.empty()) timerCv_.notify_all();
  afterReply_.clear();
}

ScopeService::ScopeService(std::shared_ptr<ServiceChannel> channel,
                           std::shared_ptr<ScopeState> state)
    : MessageService(channel, 1 << 16), state_(std::move(state)), key_(channel.get()) {
  state_->attach(channel);
}

ScopeService::~ScopeService() { state_->detach(key_); }

void ScopeService::onMessage(const std::vector<uint8_t>& message) {
  state_->onRequest(channelPtr(), message);
}

ServiceFactory ScopeService::factory(std::shared_ptr<ScopeState> state) {
  return [state](std::shared_ptr<ServiceChannel> channel) -> std::unique_ptr<Service> {
    return std::make_unique<ScopeService>(std::move(channel), state);
  };
}

}  // namespace devsim
