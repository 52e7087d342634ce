// What devmgr takes from a management reply's data (the bytes after its
// code), as pure functions so that they can be fuzzed with the channel's
// joining of chunks (clientcommon::ReplyJoin).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "devmgr/devmgr.h"

namespace devmgr {

enum class SizeRule { kExact, kAtMost };

// A query's data copied into `destination` (`size` bytes): exactly that
// many, or at most that many.
inline bool takeQuery(SizeRule rule, void* destination, size_t size, const uint8_t* data,
                      size_t length) {
  if (!destination) return false;
  if (rule == SizeRule::kExact ? length != size : length > size) return false;
  std::memcpy(destination, data, length);
  return true;
}

// The protocol ids, one a byte, at most as many as the list holds.
inline bool takeProtocolList(ProtocolList* list, const uint8_t* data, size_t length) {
  if (length > sizeof list->protocols) return false;
  std::memcpy(list->protocols, data, length);
  list->count = length;
  return true;
}

// A command's answer: exactly one byte, equal to 1.
inline bool acceptedFlag(const uint8_t* data, size_t length) { return length == 1 && data[0] == 1; }

}  // namespace devmgr
