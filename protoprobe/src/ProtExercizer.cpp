#include "ProtExercizer.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <ostream>

#include "base/ByteReader.h"

using translayer::kChunkData;
using translayer::TrIfTranPayload;

namespace protoprobe {

bool benchmarkArgumentsValid(int mode, long long total, long long packet, long long span) {
  if (total < 0 || total > 0xFFFFFFFFll || packet < 1 ||
      packet > static_cast<long long>(kChunkData))
    return false;
  if (mode != kBenchX) return true;
  return span >= 0 && span < packet && packet + span <= static_cast<long long>(kChunkData) + 1;
}

ProtExercizer::ProtExercizer(TrIfTranRemote& sender, std::ostream& out, int receiveTimeoutMs)
    : sender_(sender), out_(out), receiveTimeoutMs_(receiveTimeoutMs) {}

ProtExercizer::~ProtExercizer() = default;

void ProtExercizer::sendSetup(uint32_t total, uint16_t packetSize) {
  auto setup = std::make_shared<TrIfTranPayload>();
  setup->length = 8;
  setup->last = 0;
  const std::vector<uint8_t> fields =
      base::ByteWriter().u32(total).u16(packetSize).u8(uint8_t(mode_)).u8(0).take();
  std::copy(fields.begin(), fields.end(), setup->data);
  sender_.deliver(setup);
}

uint16_t ProtExercizer::sendPacket(uint32_t left, uint16_t packetSize, uint16_t span) {
  int length = packetSize;
  if (span != 0) length = int(unsigned(std::rand()) % (2u * span)) - span + packetSize;
  auto payload = std::make_shared<TrIfTranPayload>();
  payload->last = 0;
  if (uint32_t(length) >= left) {
    length = int(left);
    payload->last = 1;
  }
  payload->length = uint16_t(length);
  for (int i = 0; i < length; ++i) {
    payload->data[i] = uint8_t(std::rand() % 256);
    sentSum_ = uint16_t(sentSum_ + payload->data[i]);
  }
  // Queued for comparison first: its echo may come back before deliver()
  // below has even returned.
  if (mode_ == kBenchX) compare_.push(payload);
  sender_.deliver(payload);
  return uint16_t(length);
}

int ProtExercizer::exchange(uint32_t total, uint16_t packetSize, uint16_t span, uint64_t* sent) {
  const int64_t window = int64_t(kWindowPackets) * packetSize;
  while (true) {
    if (*sent < total) *sent += sendPacket(uint32_t(total - *sent), packetSize, span);
    while (true) {
      uint64_t received;
      bool mismatch, remoteClose;
      {
        plat::LockGuard lock(mutex_);
        received = received_;
        mismatch = mismatch_;
        remoteClose = remoteClose_;
      }
      if (remoteClose) {
        out_ << "Remote close requested, exiting" << std::endl;
        return -10;
      }
      if (mismatch) {
        out_ << "Input data mismatch, exiting" << std::endl;
        return -11;
      }
      if (*sent < total && int64_t(*sent) - int64_t(received) < window) break;
      if (*sent >= total && received >= total) return 0;
      if (progress_.timedWait(receiveTimeoutMs_)) {
        out_ << "Timeout on RX, exiting" << std::endl;
        return -12;
      }
    }
  }
}

int ProtExercizer::run(int mode, uint32_t total, uint16_t packetSize, uint16_t span) {
  mode_ = mode;
  sentSum_ = 0;
  {
    plat::LockGuard lock(mutex_);
    received_ = 0;
    mismatch_ = remoteClose_ = false;
    deviceSum_ = 0;
  }
  progress_.reset();
  compare_.clear();
  current_.reset();
  readIndex_ = 0;
  echoState_ = kEchoSeed;
  expectedSequence_ = 0;
  std::srand(unsigned(std::time(nullptr)));
  const auto start = std::chrono::steady_clock::now();

  sendSetup(total, packetSize);
  uint64_t sent = mode == kBenchU ? total : 0;
  int result = exchange(total, packetSize, span, &sent);

  const int64_t elapsedNs =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
          .count();
  sender_.close(false);
  uint64_t received;
  uint16_t deviceSum;
  {
    plat::LockGuard lock(mutex_);
    received = received_;
    deviceSum = deviceSum_;
  }
  if (mode == kBenchD && deviceSum != sentSum_) {
    out_ << "Data checksum mismatch" << std::endl;
    result = -13;
  }
  // Below a microsecond counts as one: no division by zero.
  const int64_t us = elapsedNs / 1000 > 0 ? elapsedNs / 1000 : 1;
  const double bandwidth = double(received) / 1024.0 * 8.0 * 1000000.0 / double(us);
  out_ << "Sent: " << sent << " bytes" << std::endl;
  out_ << "Recv: " << received << " bytes" << std::endl;
  out_ << "Transaction time: " << double(elapsedNs / 1000) / 1000.0 << "ms" << std::endl;
  out_ << "Bandwidth: " << bandwidth << "kbps" << std::endl;
  return result;
}

void ProtExercizer::flagMismatch() {
  {
    plat::LockGuard lock(mutex_);
    mismatch_ = true;
  }
  progress_.set();
}

bool ProtExercizer::deliverEcho(const TrIfTranPayload& chunk, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    // An echo byte with nothing sent to compare it with is as wrong as a
    // wrong one, and waiting for one would hold this thread for good.
    if (!current_ && !compare_.tryPop(current_)) return false;
    if (!current_ || current_->length == 0) return false;
    const uint8_t x = uint8_t(echoState_ ^ current_->data[readIndex_++]);
    echoState_ = uint8_t((x << 1) | (x >> 7));
    if (chunk.data[i] != echoState_) return false;
    if (readIndex_ >= current_->length) {
      current_.reset();
      readIndex_ = 0;
    }
  }
  return true;
}

bool ProtExercizer::deliver(std::shared_ptr<TrIfTranPayload> chunk) {
  if (!chunk) return true;
  const size_t length = chunk->length <= kChunkData ? chunk->length : kChunkData;
  switch (mode_) {
    case kBenchD: {
      if (length != 4) return true;
      {
        plat::LockGuard lock(mutex_);
        deviceSum_ = base::loadU16(chunk->data + 2);
        received_ += base::loadU16(chunk->data);
      }
      progress_.set();
      return true;
    }
    case kBenchU: {
      if (length < 2 || base::loadU16(chunk->data) != expectedSequence_) {
        flagMismatch();
        return true;
      }
      ++expectedSequence_;
      {
        plat::LockGuard lock(mutex_);
        received_ += length;
      }
      progress_.set();
      return true;
    }
    default: {
      if (!deliverEcho(*chunk, length)) {
        flagMismatch();
        return true;
      }
      {
        plat::LockGuard lock(mutex_);
        received_ += length;
      }
      progress_.set();
      return true;
    }
  }
}

void ProtExercizer::close(bool) {
  {
    plat::LockGuard lock(mutex_);
    remoteClose_ = true;
  }
  progress_.set();
}

}  // namespace protoprobe
