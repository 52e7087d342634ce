// The status client's reply dispatcher as the pipe thread drives it: the
// input is a run of chunks, each a flags byte (bit 0: last), a u16
// little-endian length (what the chunk claims; at most 1024 bytes of it
// follow) and its bytes. Every event the dispatcher reports is checked
// against the message the chunks made; the first refused chunk ends the run,
// as it ends the pipe.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "StatusCmdProc.h"
#include "svcwire/StatusWire.h"
#include "testsupport/FuzzChunks.h"
#include "translayer/Payload.h"

namespace {

namespace wire = svcwire::status;

struct Run {
  std::vector<uint8_t> message;  // the whole message being delivered
  int events = 0;
};
Run* gRun = nullptr;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void onEvent(ProtStatusHandle, uint64_t event, const void* data, uint64_t length) {
  Run& run = *gRun;
  ++run.events;
  const std::vector<uint8_t>& m = run.message;
  check(!m.empty());
  const uint8_t* body = m.data() + 1;
  const size_t size = m.size() - 1;
  switch (event) {
    case PROT_STATUS_EVENT_SIGNATURE:
      check(m[0] == wire::kSignature && length == wire::kSignatureSize && data);
      check(size == length && std::memcmp(data, body, size) == 0);
      return;
    case PROT_STATUS_EVENT_POWER: {
      check(m[0] == wire::kPowerStates && length == sizeof(ProtStatusList) && data);
      const auto* list = static_cast<const ProtStatusList*>(data);
      check(size_t(list->count) * 2 == size && (list->count == 0 || list->values));
      for (size_t i = 0; i < list->count; ++i)
        check(list->values[i] == uint16_t(body[2 * i] | body[2 * i + 1] << 8));
      return;
    }
    case PROT_STATUS_EVENT_EVENTS: {
      check(m[0] == wire::kEvents && length == sizeof(ProtStatusList) && data);
      const auto* list = static_cast<const ProtStatusList*>(data);
      check(list->count == 0 || list->values);
      size_t bits = 0;
      for (size_t i = 0; i < size; ++i) bits += size_t(__builtin_popcount(body[i]));
      check(bits == list->count);
      for (size_t i = 0; i < list->count; ++i) {
        const uint16_t e = list->values[i];
        check(i == 0 || e > list->values[i - 1]);
        check(e / 8 < size && (body[e / 8] >> (e % 8) & 1u));
      }
      return;
    }
    case PROT_STATUS_EVENT_TEXT: {
      check(m[0] == wire::kStatusText && length == sizeof(ProtStatusText) && data);
      const char* text = static_cast<const ProtStatusText*>(data)->text;
      check(text != nullptr);
      // The text is the message's body up to its first zero byte.
      const size_t n = std::strlen(text);
      check(n <= size && std::memcmp(text, body, n) == 0);
      check(n == size || body[n] == 0);
      return;
    }
    default:
      check(false);  // no other event comes from the pipe
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  translayer::HwId id{};
  StatusCmdProc proc(id, &onEvent);
  Run run;
  gRun = &run;
  testsupport::FuzzChunks chunks(input, size, 0);
  while (auto chunk = chunks.next()) {
    const bool last = chunk->last;
    const uint16_t claimed = chunk->length;
    const bool fits = claimed <= translayer::kChunkData;
    if (fits) run.message.insert(run.message.end(), chunk->data, chunk->data + claimed);
    const int before = run.events;
    const bool taken = proc.deliver(std::move(chunk));
    // A chunk longer than a chunk can be is never taken; a taken last chunk
    // reported exactly one event, a refused one none.
    check(fits || !taken);
    check(run.events - before == (taken && last ? 1 : 0));
    if (!taken) break;
    if (last) run.message.clear();
  }
  gRun = nullptr;
  return 0;
}
