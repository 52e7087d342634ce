// The channel stand-in the console and benchmark tests share, which records
// every payload handed to it, and the payloads they hand in.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "translayer/Payload.h"
#include "translayer/TrIfTranRemote.h"

namespace protoprobe {

// Records what a receiver hands to its channel.
class RecordingSender : public translayer::TrIfTranRemote {
 public:
  bool deliver(std::shared_ptr<translayer::TrIfTranPayload> chunk) override {
    std::lock_guard<std::mutex> lock(mutex);
    payloads.push_back(chunk);
    if (onDeliver) onDeliver(chunk);
    return true;
  }
  void close(bool) override { ++closes; }
  std::mutex mutex;
  std::vector<std::shared_ptr<translayer::TrIfTranPayload>> payloads;
  std::function<void(std::shared_ptr<translayer::TrIfTranPayload>)> onDeliver;
  int closes = 0;
};

inline std::shared_ptr<translayer::TrIfTranPayload> payloadOf(const std::vector<uint8_t>& bytes,
                                                              bool last) {
  auto p = std::make_shared<translayer::TrIfTranPayload>();
  p->length = uint16_t(bytes.size());
  p->last = last ? 1 : 0;
  std::copy(bytes.begin(), bytes.end(), p->data);
  return p;
}

}  // namespace protoprobe
