// The service a channel is opened for: one byte in OpenChannel and in the
// link's channel open.
#pragma once

#include <cstdint>

namespace base {

enum ProtocolId : uint8_t {
  kProtocolCore = 1,
  kProtocolParDb = 2,
  kProtocolFileServer = 3,
  kProtocolStatus = 4,
  kProtocolScope = 5,
  kProtocolBenchmark = 127,
};

}  // namespace base
