// The joining of one reply's chunks on a request/reply channel, without the
// channel's locks or threads so that it can be fuzzed: a chunk is taken only
// while a reply is awaited (a request armed it, or the previous chunk of the
// same reply said more follows) and only while the whole reply fits the
// buffer. The owner guards it with its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "translayer/Payload.h"

namespace clientcommon {

class ReplyJoin {
 public:
  explicit ReplyJoin(size_t capacity) : reply_(capacity) {}

  // A request goes out: the reply so far is dropped; with `awaitReply` its
  // first chunk may come.
  void arm(bool awaitReply) {
    length_ = 0;
    complete_ = false;
    continuation_ = false;
    armed_ = awaitReply;
  }
  // No further chunk is taken until the next arm().
  void stop() {
    armed_ = false;
    continuation_ = false;
  }
  // False when the chunk was not awaited or the reply would not fit; nothing
  // more is then taken until the next arm().
  bool take(const translayer::TrIfTranPayload* chunk) {
    const bool expected = continuation_ || armed_;
    armed_ = false;
    if (!expected || !chunk || chunk->length > translayer::kChunkData ||
        chunk->length > reply_.size() - length_) {
      continuation_ = false;
      return false;
    }
    std::memcpy(reply_.data() + length_, chunk->data, chunk->length);
    length_ += chunk->length;
    continuation_ = chunk->last == 0;
    complete_ = chunk->last != 0;
    return true;
  }

  bool complete() const { return complete_; }
  // The whole reply, once complete, answers `request` when it starts with
  // the code request + 1; its data are what follows the code.
  bool answers(uint8_t request) const {
    return complete_ && length_ >= 1 && reply_[0] == uint8_t(request + 1);
  }
  const uint8_t* data() const { return reply_.data() + 1; }
  size_t dataLength() const { return length_ - 1; }

 private:
  std::vector<uint8_t> reply_;  // its size is the capacity
  size_t length_ = 0;
  bool armed_ = false;
  bool continuation_ = false;
  bool complete_ = false;
};

}  // namespace clientcommon
