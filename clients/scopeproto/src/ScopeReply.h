// The layouts of the device's whole messages, as the dispatcher takes them
// apart: a pure function over untrusted bytes, without the channel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scopeproto/scopeproto.h"

namespace scopereply {

struct Parsed {
  enum class Kind { kDirect, kStatusUpdate, kChannelList, kRaw };
  Kind kind = Kind::kDirect;
  uint8_t code = 0;
  uint8_t status = 0;  // lists and raw replies
  ProtDigScopeStatus update{};
  ProtDigScopeChannelList list{};
  // Raw replies: data points into the message given.
  ProtDigScopeRawResult raw{};
};

// False when the message breaks its layout: empty, an unknown code, bytes
// left over or missing, a raw size other than what follows it, more list
// entries than the record holds.
bool parse(const uint8_t* message, size_t length, Parsed* out);

}  // namespace scopereply
