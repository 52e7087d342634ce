// The 16 raw bytes that name one device, and the service ids of its channels.
#pragma once

#include <cstdint>
#include <cstring>

struct HwId {
  uint8_t id[16];
  bool operator==(const HwId& o) const { return std::memcmp(id, o.id, 16) == 0; }
  bool operator<(const HwId& o) const { return std::memcmp(id, o.id, 16) < 0; }
};
static_assert(sizeof(HwId) == 16);

enum ProtocolId : uint8_t {
  kProtocolCore = 1,
  kProtocolParDb = 2,
  kProtocolFileServer = 3,
  kProtocolStatus = 4,
  kProtocolScope = 5,
  kProtocolBenchmark = 127,
};
