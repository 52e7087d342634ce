// The rules a whole reply of the parameter database service must meet, as a
// pure function of the reply the handle awaits and the bytes that came: the
// dispatcher's parser, on its own so that it can be fuzzed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/ByteReader.h"
#include "svcwire/ParDbWire.h"

namespace pardb {

struct Reply {
  enum class Kind {
    kRefused,   // outside the rules: the channel breaks
    kProgress,  // a store still working: the awaited entry stays
    kResult,    // the awaited entry is answered: `event`
  };
  Kind kind = Kind::kRefused;
  uint64_t event = 0;
  uint32_t result = 0;            // events 3, 5: 1 done, 2 failed
  uint16_t moreMs = 0;            // kProgress: what the device still needs
  const uint8_t* data = nullptr;  // events 2, 4: inside the message
  size_t length = 0;
};

inline Reply parseReply(uint8_t awaited, const uint8_t* message, size_t length) {
  namespace wire = svcwire::pardb;
  Reply r;
  base::ByteReader in(message, length);
  const uint8_t code = in.u8();
  if (in.failed() || code != awaited) return r;  // empty, or not the awaited reply
  const size_t size = in.remaining();
  const uint8_t* data = message + 1;
  auto status = [&](uint64_t event) {
    if (size != 1) return r;
    r.kind = Reply::Kind::kResult;
    r.event = event;
    r.result = data[0] == wire::kStatusOk ? 1u : 2u;
    return r;
  };
  switch (code) {
    case wire::kSignature:
      if (size != wire::kSignatureSize) return r;
      r.kind = Reply::Kind::kResult;
      r.event = 2;
      r.data = data;
      r.length = size;
      return r;
    case wire::kStore:
      if (size == wire::kInProgressSize - 1 && data[0] == wire::kStoreInProgress) {
        r.kind = Reply::Kind::kProgress;
        r.moreMs = uint16_t(data[1] | data[2] << 8);
        return r;
      }
      return status(3);
    case wire::kRead:
      r.kind = Reply::Kind::kResult;
      r.event = 4;
      r.data = data;
      r.length = size;
      return r;
    case wire::kWrite:
      return status(5);
    default:
      return r;
  }
}

}  // namespace pardb
