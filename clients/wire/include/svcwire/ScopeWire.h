// The digital scope service (protocol id 5) on the wire. Byte 0 of every
// message is its code; fields are little-endian. A reply's code is its
// request's plus one.
//
// Host to device:
//   16                                  signature (17, 16 bytes)
//   32                                  capabilities (33, status, 11 bytes)
//   36, u16 index, f32 period           add a channel (37, channel list)
//   46, u16 index, f32 period           modify a channel (47, channel list)
//   38, u16 index                       remove a channel (39, channel list)
//   40, u16 index, u8 kind, threshold   add a trigger (41, status)
//   64, u16 index, u8 kind, threshold   modify a trigger (65, status)
//   66, u16 index                       remove a trigger (67, status)
//   68, u8 mode, f32 capture, f32 pre   set the capture parameters (69, status)
//   42                                  arm (43, status)
//   44                                  cancel (45, status)
//   48                                  raw configuration (49, raw reply)
//   50                                  raw data (51, raw reply)
// Device to host:
//   channel list: status, then (optional) f32 maximum capture time and
//                 entries of u16 index, f32 time
//   raw reply:    status; with status 0: u32 size, then size bytes
//   34, u8 state, f32 fill              unasked status update
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/ProtocolId.h"

namespace svcwire::scope {

inline constexpr uint8_t kProtocol = base::kProtocolScope;

enum Code : uint8_t {
  kReqSignature = 16,
  kSignature = 17,
  kReqCapabilities = 32,
  kCapabilities = 33,
  kStatusUpdate = 34,
  kReqAddChannel = 36,
  kAddChannel = 37,
  kReqRemoveChannel = 38,
  kRemoveChannel = 39,
  kReqAddTrigger = 40,
  kAddTrigger = 41,
  kReqArm = 42,
  kArm = 43,
  kReqCancel = 44,
  kCancel = 45,
  kReqModifyChannel = 46,
  kModifyChannel = 47,
  kReqRawConfiguration = 48,
  kRawConfiguration = 49,
  kReqRawData = 50,
  kRawData = 51,
  kReqModifyTrigger = 64,
  kModifyTrigger = 65,
  kReqRemoveTrigger = 66,
  kRemoveTrigger = 67,
  kReqSetParameters = 68,
  kSetParameters = 69,
};

// Scope states of the status update.
enum State : uint8_t { kEmpty = 0, kArmed = 1, kRunning = 2, kValid = 3 };

// Device status bytes (the library adds kBrokenLink for no valid reply).
enum Status : uint8_t {
  kNoError = 0,
  kInvalidState = 1,
  kExceedChannels = 2,
  kParameterNotFound = 3,
  kUnmanagedParameterType = 4,
  kExceedTriggers = 5,
  kParameterSizeMismatch = 6,
  kSamplingTimeOutOfRange = 7,
  kTimeDivisorOutOfRange = 8,
  kPreTriggerOverflow = 9,
  kUnsupportedFillerType = 10,
  kUnsupportedTriggerType = 11,
  kInvalidChannelIndex = 12,
  kNoChannelsDefined = 13,
  kNoTriggersDefined = 14,
  kDuplicatedChannel = 15,
  kChannelNotFound = 16,
};
inline constexpr uint16_t kBrokenLink = 1024;

inline constexpr size_t kSignatureSize = 16;
// After code and status: u8 channels, u8 triggers, u8 sample size, f32 time
// base, u32 buffer size.
inline constexpr size_t kCapabilityFields = 11;
inline constexpr size_t kCapabilitiesMessage = 2 + kCapabilityFields;
inline constexpr size_t kStatusUpdateMessage = 6;
inline constexpr size_t kChannelEntry = 6;
// The record of a channel list holds this many entries; its count is a u8.
inline constexpr size_t kMaxChannelEntries = 255;
// Code, status, u32 size: what a raw reply holds before its data.
inline constexpr size_t kRawHeader = 6;
// No message of the service is longer.
inline constexpr uint64_t kMaxMessage = 64ull << 20;

}  // namespace svcwire::scope
