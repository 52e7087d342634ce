// A management reply as devmgr takes it: the chunks joined as the channel
// joins them, then the request's own rules. Byte 0 picks the request; the
// rest is a run of chunks, each a flags byte (bit 0: last), a u16
// little-endian length (what the chunk claims; at most 1024 bytes of it
// follow) and its bytes. Every destination is exactly as large as the
// library's, so a copy past it is caught.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "CoreCmdProc.h"
#include "DevmgrReply.h"
#include "clientcommon/ReplyJoin.h"
#include "testsupport/FuzzChunks.h"
#include "translayer/Payload.h"

namespace {

enum class Take { kQuery, kProtocols, kFlag, kAnything };

struct Request {
  uint8_t code;
  Take take;
  size_t size = 0;
  devmgr::SizeRule rule = devmgr::SizeRule::kExact;
};

constexpr auto kExact = devmgr::SizeRule::kExact;
constexpr auto kAtMost = devmgr::SizeRule::kAtMost;

const Request kRequests[] = {
    {4, Take::kQuery, 4, kExact},
    {6, Take::kQuery, 256, kAtMost},
    {8, Take::kQuery, 16, kAtMost},
    {16, Take::kQuery, 256, kAtMost},
    {18, Take::kQuery, 256, kAtMost},
    {20, Take::kQuery, 256, kAtMost},
    {26, Take::kQuery, 256, kAtMost},
    {30, Take::kQuery, 256, kAtMost},
    {48, Take::kQuery, 4, kExact},
    {64, Take::kQuery, 16, kExact},
    {66, Take::kQuery, 256, kAtMost},
    {68, Take::kQuery, 256, kAtMost},
    {70, Take::kQuery, 16, kExact},
    {72, Take::kQuery, 16, kExact},
    {96, Take::kQuery, 256, kAtMost},
    {98, Take::kQuery, 4, kExact},
    {2, Take::kProtocols},
    {14, Take::kFlag},
    {24, Take::kFlag},
    {32, Take::kAnything},
};

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// The request's rules on a complete reply that answers it.
void takeReply(const Request& request, const uint8_t* data, size_t length) {
  switch (request.take) {
    case Take::kQuery: {
      std::unique_ptr<uint8_t[]> destination(new uint8_t[request.size]);
      const bool ok =
          devmgr::takeQuery(request.rule, destination.get(), request.size, data, length);
      const bool fits = request.rule == kExact ? length == request.size : length <= request.size;
      check(ok == fits);
      if (ok) check(std::memcmp(destination.get(), data, length) == 0);
      return;
    }
    case Take::kProtocols: {
      auto list = std::make_unique<ProtocolList>();
      const bool ok = devmgr::takeProtocolList(list.get(), data, length);
      check(ok == (length <= sizeof list->protocols));
      if (ok) check(list->count == length && std::memcmp(list->protocols, data, length) == 0);
      return;
    }
    case Take::kFlag:
      check(devmgr::acceptedFlag(data, length) == (length == 1 && data[0] == 1));
      return;
    case Take::kAnything:
      return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size == 0) return 0;
  const Request& request = kRequests[input[0] % std::size(kRequests)];
  clientcommon::ReplyJoin join(CoreCmdProc::kReplyCapacity);
  join.arm(true);
  std::vector<uint8_t> sent;  // what the taken chunks carried
  bool done = false;          // the reply is complete: nothing more is asked for
  testsupport::FuzzChunks chunks(input, size, 1);
  while (auto chunk = chunks.next()) {
    const bool last = chunk->last;
    const uint16_t claimed = chunk->length;
    const bool fits =
        claimed <= translayer::kChunkData && sent.size() + claimed <= CoreCmdProc::kReplyCapacity;
    const bool taken = join.take(chunk.get());
    check(taken == (fits && !done));
    if (!taken) return 0;  // the channel breaks: the request fails
    sent.insert(sent.end(), chunk->data, chunk->data + claimed);
    check(join.complete() == last);
    if (!last) continue;
    done = true;
    const bool answers = !sent.empty() && sent[0] == uint8_t(request.code + 1);
    check(join.answers(request.code) == answers);
    if (!answers) continue;
    check(join.dataLength() == sent.size() - 1);
    check(std::memcmp(join.data(), sent.data() + 1, sent.size() - 1) == 0);
    takeReply(request, join.data(), join.dataLength());
  }
  return 0;
}
