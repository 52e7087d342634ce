// One management connection: a request/reply channel of protocol id 1 with
// the management requests' waits and size rules. Threads and locks: those of
// clientcommon::RequestChannel.
#pragma once

#include <cstdint>

#include "DevmgrReply.h"
#include "clientcommon/RequestChannel.h"

struct CoreCmdProc final : public clientcommon::RequestChannel {
 public:
  static constexpr size_t kReplyCapacity = 16384;
  static constexpr int kQueryWaitMs = 1000;
  static constexpr int kCommandWaitMs = 2000;
  static constexpr int kResetPauseMs = 500;

  using SizeRule = devmgr::SizeRule;

  explicit CoreCmdProc(const translayer::HwId& hwid)
      : RequestChannel(base::kProtocolCore, hwid, kReplyCapacity) {}

  // A one-byte request and its reply's data copied into `destination`.
  bool query(uint8_t request, void* destination, size_t size, SizeRule rule);
  // Sends a request that has no reply, then pauses kResetPauseMs.
  bool sendWithoutReply(const uint8_t* request, size_t length) {
    return RequestChannel::sendWithoutReply(request, length, kResetPauseMs);
  }
};
