// A fuzz input read as the chunks a pipe thread hands a dispatcher: each a
// flags byte (bit 0: last), the u16 little-endian length the chunk claims
// (at most a chunk's room of it follows) and its bytes. Header only, so a
// fuzz target takes it without the test-support library.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "translayer/Payload.h"

namespace testsupport {

class FuzzChunks {
 public:
  FuzzChunks(const uint8_t* input, size_t size, size_t at = 0)
      : input_(input), size_(size), at_(std::min(at, size)) {}

  // The next chunk, its length as claimed (which may exceed what it can
  // hold), or null once no whole header is left.
  std::shared_ptr<translayer::TrIfTranPayload> next() {
    if (size_ - at_ < 3) return nullptr;
    auto chunk = std::make_shared<translayer::TrIfTranPayload>();
    chunk->last = (input_[at_] & 1u) ? 1 : 0;
    const uint16_t claimed = uint16_t(input_[at_ + 1] | input_[at_ + 2] << 8);
    at_ += 3;
    const size_t n = std::min({size_t(claimed), translayer::kChunkData, size_ - at_});
    chunk->length = claimed;
    std::memcpy(chunk->data, input_ + at_, n);
    at_ += n;
    return chunk;
  }

 private:
  const uint8_t* input_;
  size_t size_;
  size_t at_;
};

}  // namespace testsupport
