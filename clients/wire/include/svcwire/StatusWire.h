// The status service (protocol id 4) on the wire. Byte 0 of every message is
// its code; fields are little-endian.
//
// Host to device:
//   16          ask for the status table signature (answered by 17)
//   18, mask    ask for notifications: the device sends 32, 34 and 36 with
//               its current state, then again at every change, until the
//               channel ends. Each new channel starts without them.
// Device to host:
//   17, 16 bytes                 signature
//   32, u16 values...            power states (an even number of bytes)
//   34, bit mask...              active events: bit j of byte i is event 8i+j
//   36, text (no terminator)     system status text
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/ProtocolId.h"

namespace svcwire::status {

inline constexpr uint8_t kProtocol = base::kProtocolStatus;

enum Code : uint8_t {
  kReqSignature = 16,
  kSignature = 17,
  kReqNotifications = 18,
  kPowerStates = 32,
  kEvents = 34,
  kStatusText = 36,
};

// The second byte of the notification request, sent as a constant.
inline constexpr uint8_t kNotifyAll = 7;

inline constexpr size_t kSignatureSize = 16;
// Limits that keep every count within the 16 bits of the events it makes.
inline constexpr size_t kMaxEventMaskBytes = 8192;
inline constexpr size_t kMaxEventCount = 65535;
inline constexpr size_t kMaxPowerStateBytes = 131070;  // 65535 values
// No message of the service is longer.
inline constexpr uint64_t kMaxMessage = 64ull << 20;

}  // namespace svcwire::status
