#include "devsim/BenchEchoService.h"

#include <algorithm>
#include <chrono>

#include "base/ByteReader.h"
#include "plat/thread.h"

namespace devsim {

bool parseBenchFault(const std::string& text, BenchFault* fault) {
  static const struct {
    const char* name;
    BenchFault fault;
  } kNames[] = {{"wrong-echo", BenchFault::kWrongEcho},
                {"wrong-sequence", BenchFault::kWrongSequence},
                {"bad-sum", BenchFault::kBadSum},
                {"silence", BenchFault::kSilence},
                {"close", BenchFault::kClose}};
  for (const auto& n : kNames) {
    if (text == n.name) {
      *fault = n.fault;
      return true;
    }
  }
  return false;
}

BenchEchoService::BenchEchoService(std::shared_ptr<ServiceChannel> channel,
                                   BenchEchoOptions options)
    : channel_(std::move(channel)), options_(std::move(options)) {}

BenchEchoService::~BenchEchoService() { stopUpload(); }

ServiceFactory BenchEchoService::factory(BenchEchoOptions options) {
  return [options](std::shared_ptr<ServiceChannel> channel) -> std::unique_ptr<Service> {
    return std::make_unique<BenchEchoService>(std::move(channel), options);
  };
}

void BenchEchoService::onClosed() { stopUpload(); }

void BenchEchoService::onData(const uint8_t* data, size_t length, bool last) {
  size_t offset = 0;
  while (offset < length && stage_ != Stage::kRefused) {
    if (stage_ == Stage::kSetup) {
      const size_t n = std::min(kSetupLength - setupFill_, length - offset);
      std::copy(data + offset, data + offset + n, setup_ + setupFill_);
      setupFill_ += n;
      offset += n;
      if (setupFill_ == kSetupLength) takeSetup();
      continue;
    }
    const size_t n = std::min<size_t>(left_, length - offset);
    left_ -= uint32_t(n);
    const bool runEnds = left_ == 0 || (last && offset + n == length);
    takeData(data + offset, n, last && offset + n == length);
    offset += n;
    if (runEnds && stage_ != Stage::kRefused) stage_ = Stage::kSetup;
  }
  if (!last) return;
  // The message ends: so does a run that was cut short, and a set-up that
  // never completed is void.
  if (stage_ == Stage::kData) stage_ = Stage::kSetup;
  setupFill_ = 0;
}

void BenchEchoService::takeSetup() {
  setupFill_ = 0;
  base::ByteReader in(setup_, sizeof setup_);
  const uint32_t total = in.u32();
  const uint16_t packetSize = in.u16();
  mode_ = in.u8();
  switch (mode_) {
    case kModeEcho:
    case kModeDownload:
      echoState_ = kEchoSeed;
      sum_ = 0;
      left_ = total;
      total_ = total;
      handled_ = 0;
      struck_ = false;
      if (total > 0) stage_ = Stage::kData;
      return;
    case kModeUpload:
      startUpload(total, packetSize);
      return;
    default:
      // Not a benchmark this device knows: the host hears it as a close.
      stage_ = Stage::kRefused;
      stopUpload();
      channel_->close();
      return;
  }
}

void BenchEchoService::takeData(const uint8_t* data, size_t length, bool last) {
  if (length == 0) return;
  const uint32_t first = handled_;
  handled_ += uint32_t(length);
  const BenchFault fault = options_.fault;
  const bool strikesHere = fault != BenchFault::kNone && !struck_ && handled_ > faultPoint();
  if (strikesHere) struck_ = true;
  if (struck_ && fault == BenchFault::kSilence) return;
  if (strikesHere && fault == BenchFault::kClose) {
    stage_ = Stage::kRefused;
    channel_->close();
    return;
  }
  if (mode_ == kModeEcho) {
    echo_.resize(length);
    uint8_t state = echoState_;
    for (size_t i = 0; i < length; ++i) echo_[i] = state = transform(state, data[i]);
    echoState_ = state;
    if (strikesHere && fault == BenchFault::kWrongEcho) echo_[faultPoint() - first] ^= 0xFF;
    channel_->send(echo_.data(), length, last);
    return;
  }
  // Download: a report per fragment, so that the host's window always moves.
  for (size_t i = 0; i < length; ++i) sum_ = uint16_t(sum_ + data[i]);
  const uint16_t sum = uint16_t(sum_ + (struck_ && fault == BenchFault::kBadSum ? 1 : 0));
  uint8_t report[4];
  base::storeLittleEndian(report, length, 2);
  base::storeLittleEndian(report + 2, sum, 2);
  channel_->send(report, sizeof report, true);
}

// ---- upload ----

void BenchEchoService::startUpload(uint32_t total, uint16_t packetSize) {
  stopUpload();
  if (total == 0) return;
  const size_t room = std::max<size_t>(options_.frameData, 2);
  const size_t packet = std::clamp<size_t>(packetSize, 2, room);
  uploader_ = std::thread([this, total, packet] {
    plat::setCurrentThreadName("devsim-upload");
    upload(total, packet);
  });
}

void BenchEchoService::stopUpload() {
  if (!uploader_.joinable()) return;
  {
    plat::LockGuard lock(mutex_);
    stopUpload_ = true;
  }
  wake_.notify_all();
  uploader_.join();
  plat::LockGuard lock(mutex_);
  stopUpload_ = false;
}

bool BenchEchoService::waitForRoom(uint64_t queued, uint64_t sentAtStart) {
  for (;;) {
    bool room = true;
    if (options_.framesSent) {
      const uint64_t sent = options_.framesSent() - sentAtStart;
      room = sent >= queued || queued - sent < options_.uploadBacklog;
    }
    plat::UniqueLock lock(mutex_);
    if (stopUpload_) return false;
    if (room) return true;
    // The device has no word for "frame sent": look again shortly.
    wake_.wait_for(lock, std::chrono::milliseconds(1));
  }
}

void BenchEchoService::upload(uint32_t total, size_t packet) {
  const uint64_t sentAtStart = options_.framesSent ? options_.framesSent() : 0;
  std::vector<uint8_t> buffer(packet);
  uint32_t left = total;
  uint16_t sequence = 0;
  uint64_t queued = 0;
  const BenchFault fault = options_.fault;
  bool struck = false;
  while (left > 0) {
    size_t n = std::min<size_t>(packet, left);
    // A packet shorter than its sequence number would leave the host
    // reading past its end: the one before it gives up a byte.
    if (left > n && left - n == 1 && n > 2) --n;
    if (!waitForRoom(queued, sentAtStart)) return;
    // The packet holding the run's middle byte is where a fault strikes.
    const bool strikesHere = fault != BenchFault::kNone && !struck && total - left + n > total / 2;
    if (strikesHere) {
      struck = true;
      if (fault == BenchFault::kSilence) return;
      if (fault == BenchFault::kClose) {
        channel_->close();
        return;
      }
    }
    const uint16_t number =
        uint16_t(sequence + (strikesHere && fault == BenchFault::kWrongSequence ? 1 : 0));
    base::storeLittleEndian(buffer.data(), number, std::min<size_t>(n, 2));
    for (size_t i = 2; i < n; ++i) buffer[i] = uint8_t(sequence + i);
    left -= uint32_t(n);
    if (!channel_->send(buffer.data(), n, left == 0)) return;
    ++queued;
    ++sequence;
  }
}

}  // namespace devsim
