// The reply rules of the parameter database client: the first byte picks
// the awaited reply (17, 19, 25 or 27), the rest is the device's message.
#include <cstddef>
#include <cstdint>

#include "ParDbReply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size == 0) return 0;
  static const uint8_t kAwaited[] = {17, 19, 25, 27};
  const uint8_t awaited = kAwaited[input[0] % 4];
  const uint8_t* message = input + 1;
  const size_t length = size - 1;
  const pardb::Reply r = pardb::parseReply(awaited, message, length);
  if (r.kind == pardb::Reply::Kind::kRefused) return 0;
  // Only the awaited reply is ever taken, and what it points at is inside it.
  if (length == 0 || message[0] != awaited) __builtin_trap();
  if (r.data && (r.data < message || r.data + r.length > message + length)) __builtin_trap();
  if (r.kind == pardb::Reply::Kind::kProgress && (awaited != 19 || length != 4)) __builtin_trap();
  if (r.kind == pardb::Reply::Kind::kResult) {
    if (r.event < 2 || r.event > 5) __builtin_trap();
    if (r.event == 2 && r.length != 16) __builtin_trap();
    if ((r.event == 3 || r.event == 5) && (length != 2 || (r.result != 1 && r.result != 2)))
      __builtin_trap();
  }
  return 0;
}
