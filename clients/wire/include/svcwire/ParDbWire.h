// The parameter database service (protocol id 2) on the wire. Byte 0 of
// every message is its code; fields are little-endian. Replies come in the
// order of the requests.
//
// Host to device:
//   16                     ask for the parameter table signature
//   18                     store the parameters permanently
//   24, u16 index          read a parameter
//   26, u16 index, data    write a parameter. The message travels in pipe
//                          chunks of at most 1024 bytes and every chunk
//                          repeats the 3-byte header: the message is a run of
//                          segments of 1024 bytes (the last one shorter),
//                          each [26, index] + at most 1021 data bytes.
// Device to host:
//   17, 16 bytes           signature
//   19, 2, u16 N           store in progress: N more milliseconds needed
//   19, status             store done: 1 stored, anything else failed
//   25, value bytes        read answer (an unknown index has none)
//   27, status             write done: 1 written, anything else failed
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/ProtocolId.h"

namespace svcwire::pardb {

inline constexpr uint8_t kProtocol = base::kProtocolParDb;

enum Code : uint8_t {
  kReqSignature = 16,
  kSignature = 17,
  kReqStore = 18,
  kStore = 19,
  kReqRead = 24,
  kRead = 25,
  kReqWrite = 26,
  kWrite = 27,
};

inline constexpr uint8_t kStatusOk = 1;
// The first byte after 19 in a store-in-progress reply.
inline constexpr uint8_t kStoreInProgress = 2;

inline constexpr size_t kSignatureSize = 16;
inline constexpr size_t kHeaderSize = 3;                            // code, u16 index
inline constexpr size_t kSegmentSize = 1024;                        // one pipe chunk
inline constexpr size_t kSegmentData = kSegmentSize - kHeaderSize;  // 1021
inline constexpr size_t kInProgressSize = 4;                        // 19, 2, u16 N
// No message of the service is longer.
inline constexpr uint64_t kMaxMessage = 64ull << 20;

}  // namespace svcwire::pardb
