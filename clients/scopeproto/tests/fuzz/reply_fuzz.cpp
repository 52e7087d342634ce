// The scope client's message layouts on arbitrary bytes: never a read past
// the message, and what is accepted is consistent with its bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "ScopeReply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  scopereply::Parsed parsed;
  if (!scopereply::parse(data, size, &parsed)) return 0;
  using Kind = scopereply::Parsed::Kind;
  if (parsed.kind == Kind::kRaw && parsed.raw.data) {
    // The data lies wholly inside the message, after its 6 header bytes.
    if (parsed.raw.data != data + 6 || size != 6 + size_t(parsed.raw.size)) std::abort();
    volatile uint8_t sum = 0;
    for (uint32_t i = 0; i < parsed.raw.size; ++i) sum = uint8_t(sum + parsed.raw.data[i]);
  }
  if (parsed.kind == Kind::kChannelList &&
      size != (parsed.list.count ? 6 : 2) + 6u * parsed.list.count &&
      !(parsed.list.count == 0 && (size == 2 || size == 6)))
    std::abort();
  return 0;
}
