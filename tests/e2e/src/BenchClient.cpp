#include "e2e/BenchClient.h"

#include <algorithm>
#include <vector>

#include "translayer/Payload.h"

using translayer::HwId;
using translayer::kChunkData;
using translayer::TrIfTranClient;
using translayer::TrIfTranPayload;

namespace e2e {
namespace {

uint8_t transform(uint8_t state, uint8_t sent) {
  const uint8_t x = uint8_t(state ^ sent);
  return uint8_t((x << 1) | (x >> 7));
}

constexpr size_t kWindowPackets = 8;

// Four bytes from each draw: the load generator shares the machine with the
// road it measures, so it should cost as little as it can.
void fillRandom(std::mt19937& random, uint8_t* out, size_t n) {
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const uint32_t r = uint32_t(random());
    out[i] = uint8_t(r);
    out[i + 1] = uint8_t(r >> 8);
    out[i + 2] = uint8_t(r >> 16);
    out[i + 3] = uint8_t(r >> 24);
  }
  for (; i < n; ++i) out[i] = uint8_t(random());
}

}  // namespace

BenchClient::BenchClient() : client_(std::make_unique<TrIfTranClient>(base::kProtocolBenchmark)) {}

BenchClient::~BenchClient() {
  // The client joins its pipe thread, which calls back into this object.
  client_.reset();
}

int BenchClient::open(const HwId& hwid) {
  if (client_->bind() != 0) return 4;
  const int rc = client_->openChannel(hwid, this);
  if (rc != 0) return rc;
  client_->connectResult.wait();
  return client_->notConnected == 0 ? 0 : -1;
}

void BenchClient::close() { client_->TrIfTranCommon::close(false); }

bool BenchClient::waitClosed(int timeoutMs) {
  plat::UniqueLock lock(mutex_);
  return progress_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&]() REQUIRES(mutex_) { return closed_; });
}

void BenchClient::close(bool) {
  plat::LockGuard lock(mutex_);
  closed_ = true;
  ++events_;
  progress_.notify_all();
}

bool BenchClient::deliver(std::shared_ptr<TrIfTranPayload> chunk) {
  plat::LockGuard lock(mutex_);
  const auto now = Clock::now();
  if (deliveries_ > 0) {
    const double gap = std::chrono::duration<double, std::milli>(now - lastDelivery_).count();
    longestGapMs_ = std::max(longestGapMs_, gap);
  }
  lastDelivery_ = now;
  ++deliveries_;
  ++events_;
  // Told below, once this delivery is booked.
  struct Notify {
    BenchClient* self;
    ~Notify() {
      if (self->mismatch_ || self->received_ >= self->wakeAt_) self->progress_.notify_all();
    }
  } notify{this};
  const uint8_t* data = chunk->data;
  const size_t length = chunk->length;
  switch (mode_) {
    case kEcho:
      for (size_t i = 0; i < length; ++i) {
        // A byte beyond those sent cannot be an echo.
        if (awaiting_.empty()) {
          mismatch_ = true;
          return true;
        }
        echoState_ = transform(echoState_, awaiting_.front());
        awaiting_.pop_front();
        if (data[i] != echoState_) {
          mismatch_ = true;
          return true;
        }
      }
      received_ += length;
      break;
    case kDownload:
      if (length != 4) break;
      received_ += uint16_t(data[0] | data[1] << 8);
      deviceSum_ = uint16_t(data[2] | data[3] << 8);
      break;
    case kUpload:
      if (length < 2 || uint16_t(data[0] | data[1] << 8) != expectedSequence_) {
        mismatch_ = true;
        break;
      }
      ++expectedSequence_;
      received_ += length;
      break;
  }
  return true;
}

void BenchClient::begin(Mode mode) {
  plat::LockGuard lock(mutex_);
  mode_ = mode;
  received_ = 0;
  mismatch_ = false;
  echoState_ = 0x46;
  awaiting_.clear();
  deviceSum_ = 0;
  expectedSequence_ = 0;
  longestGapMs_ = 0;
  deliveries_ = 0;
}

void BenchClient::sendPayload(const uint8_t* data, size_t length, bool last) {
  auto chunk = std::make_shared<TrIfTranPayload>();
  chunk->length = uint16_t(length);
  chunk->last = last ? 1 : 0;
  std::copy(data, data + length, chunk->data);
  client_->TrIfTranCommon::deliver(std::move(chunk));
}

bool BenchClient::waitProgress(plat::UniqueLock& lock, int timeoutMs, uint64_t seen,
                               uint64_t wakeAt) {
  // Deliveries below wakeAt change nothing for the waiter, so they do not
  // wake it; any of them still counts as progress against the time-out.
  wakeAt_ = wakeAt;
  const bool progressed = progress_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                             [&]() REQUIRES(mutex_) { return events_ != seen; });
  wakeAt_ = 0;
  return progressed;
}

BenchResult BenchClient::finish(int result, uint64_t sent, Clock::time_point start) {
  BenchResult r;
  r.result = result;
  r.sent = sent;
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  plat::LockGuard lock(mutex_);
  r.received = received_;
  r.longestGapMs = longestGapMs_;
  r.deliveries = deliveries_;
  return r;
}

BenchResult BenchClient::run(Mode mode, uint32_t total, uint16_t packetSize, uint32_t seed,
                             int receiveTimeoutMs) {
  begin(mode);
  std::mt19937 random(seed);
  const size_t packet = std::clamp<size_t>(packetSize, 1, kChunkData);
  const auto start = Clock::now();
  const uint8_t setup[8] = {
      uint8_t(total),      uint8_t(total >> 8),      uint8_t(total >> 16), uint8_t(total >> 24),
      uint8_t(packetSize), uint8_t(packetSize >> 8), uint8_t(mode),        0};
  sendPayload(setup, sizeof setup, false);
  uint64_t sent = mode == kUpload ? total : 0;
  uint16_t sentSum = 0;
  std::vector<uint8_t> data(packet);
  int result = 0;
  for (;;) {
    plat::UniqueLock lock(mutex_);
    if (closed_) {
      result = -10;
      break;
    }
    if (mismatch_) {
      result = -11;
      break;
    }
    if (sent < total && sent - std::min(sent, received_) < kWindowPackets * packet) {
      lock.unlock();
      const size_t n = size_t(std::min<uint64_t>(packet, total - sent));
      fillRandom(random, data.data(), n);
      for (size_t i = 0; i < n; ++i) sentSum = uint16_t(sentSum + data[i]);
      if (mode == kEcho) {
        // Booked before it goes, so its echo always finds it.
        plat::LockGuard relock(mutex_);
        awaiting_.insert(awaiting_.end(), data.begin(), data.begin() + long(n));
      }
      sent += n;
      sendPayload(data.data(), n, sent == total);
      continue;
    }
    if (sent >= total && received_ >= total) break;
    // Woken when the window has room for a packet again, or at the end.
    const uint64_t wakeAt = sent < total ? sent - kWindowPackets * packet + 1 : total;
    if (!waitProgress(lock, receiveTimeoutMs, events_, wakeAt)) {
      result = -12;
      break;
    }
  }
  BenchResult r = finish(result, sent, start);
  if (mode == kDownload) {
    plat::LockGuard lock(mutex_);
    if (deviceSum_ != sentSum) r.result = -13;
  }
  return r;
}

BenchResult BenchClient::pingPong(uint32_t count, uint16_t size, int receiveTimeoutMs) {
  begin(kEcho);
  const size_t packet = std::clamp<size_t>(size, 1, kChunkData);
  const uint32_t total = uint32_t(packet) * count;
  std::mt19937 random(7);
  const auto start = Clock::now();
  const uint8_t setup[8] = {
      uint8_t(total),  uint8_t(total >> 8),  uint8_t(total >> 16), uint8_t(total >> 24),
      uint8_t(packet), uint8_t(packet >> 8), uint8_t(kEcho),       0};
  sendPayload(setup, sizeof setup, false);
  std::vector<uint8_t> data(packet);
  uint64_t sent = 0;
  uint64_t trips = 0;
  int result = 0;
  while (trips < count && result == 0) {
    fillRandom(random, data.data(), packet);
    {
      plat::LockGuard lock(mutex_);
      awaiting_.insert(awaiting_.end(), data.begin(), data.end());
    }
    sent += packet;
    sendPayload(data.data(), packet, sent == total);
    plat::UniqueLock lock(mutex_);
    for (;;) {
      if (closed_) {
        result = -10;
        break;
      }
      if (mismatch_) {
        result = -11;
        break;
      }
      if (received_ >= sent) {
        ++trips;
        break;
      }
      if (!waitProgress(lock, receiveTimeoutMs, events_, sent)) {
        result = -12;
        break;
      }
    }
  }
  BenchResult r = finish(result, sent, start);
  r.roundTrips = trips;
  return r;
}

}  // namespace e2e
