#include "ScopeReply.h"

#include <cstring>

#include "base/ByteReader.h"
#include "svcwire/ScopeWire.h"

namespace scopereply {

namespace wire = svcwire::scope;

namespace {

float floatOf(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

}  // namespace

bool parse(const uint8_t* message, size_t length, Parsed* out) {
  base::ByteReader in(message, length);
  const uint8_t code = in.u8();
  if (in.failed()) return false;
  out->code = code;
  switch (code) {
    case wire::kSignature:
    case wire::kCapabilities:
    case wire::kAddTrigger:
    case wire::kArm:
    case wire::kCancel:
    case wire::kModifyTrigger:
    case wire::kRemoveTrigger:
    case wire::kSetParameters:
      // The request checks the length it expects.
      out->kind = Parsed::Kind::kDirect;
      return true;
    case wire::kStatusUpdate: {
      out->kind = Parsed::Kind::kStatusUpdate;
      out->update.state = in.u8();
      out->update.fill = floatOf(in.u32());
      return in.done();
    }
    case wire::kAddChannel:
    case wire::kRemoveChannel:
    case wire::kModifyChannel: {
      out->kind = Parsed::Kind::kChannelList;
      out->status = in.u8();
      if (in.failed()) return false;
      out->list = ProtDigScopeChannelList{};
      if (!in.atEnd()) out->list.maxCaptureTime = floatOf(in.u32());
      size_t count = 0;
      while (!in.failed() && !in.atEnd()) {
        // The record holds 255 entries with a u8 count.
        if (count == wire::kMaxChannelEntries) return false;
        ProtDigScopeChannelEntry& entry = out->list.entries[count++];
        entry.parameterIndex = in.u16();
        entry.time = floatOf(in.u32());
      }
      out->list.count = uint8_t(count);
      return in.done();
    }
    case wire::kRawConfiguration:
    case wire::kRawData: {
      out->kind = Parsed::Kind::kRaw;
      out->status = in.u8();
      if (in.failed()) return false;
      out->raw = ProtDigScopeRawResult{out->status, 0, nullptr};
      if (out->status == wire::kNoError) {
        out->raw.size = in.u32();
        // Exactly the size the device names, checked before it is used.
        if (in.failed() || in.remaining() != out->raw.size) return false;
        out->raw.data = in.view(out->raw.size);
      }
      return in.done();
    }
    default:
      return false;
  }
}

}  // namespace scopereply
