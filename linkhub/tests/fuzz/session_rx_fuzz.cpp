// Fuzz target of the link receive path: after a handshake, arbitrary frames
// go into the rx callback, interleaved with builder calls, sends, opens and
// closes. Each frame is handed over in a buffer of exactly its size.
//
// Input: a sequence of operations, each one byte op (low two bits select):
//   0 frame: next byte n, then n bytes (fewer at the end) to the rx callback
//   1 build: one builder call in mode (op >> 2) % 3
//   2 send:  (op >> 6) * 150 bytes on channel (op >> 2) & 15, last = bit 5
//   3 open (bit 2) or close channel (op >> 3) & 15
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "linkhub/MediaLibrary.h"
#include "linkhub/SessionLayer.h"

using linkhub::MediaRecord;
using linkhub::SessionLayer;
using linkhub::SessionLayerEvents;

using translayer::HwId;

namespace {

class Sink : public SessionLayerEvents {
 public:
  void onDeviceIdentified(const HwId*) override {}
  void onData(uint8_t channel, const uint8_t* data, uint16_t length, bool) override {
    if (channel >= 16) std::abort();
    // Touch every byte so that a bad length shows under the sanitizers.
    for (uint16_t i = 0; i < length; ++i) sum_ += data[i];
  }
  void onChannelClosed(uint8_t channel) override {
    if (channel >= 16) std::abort();
  }
  unsigned sum_ = 0;
};

void feed(SessionLayer& layer, const uint8_t* bytes, size_t n) {
  auto* frame = static_cast<uint8_t*>(std::malloc(n ? n : 1));
  if (n) std::memcpy(frame, bytes, n);
  uint16_t length = uint16_t(n);
  SessionLayer::receiveFrame(&layer, frame, &length);
  if (length > n) std::abort();
  std::free(frame);
}

void feed(SessionLayer& layer, std::vector<uint8_t> bytes) {
  feed(layer, bytes.data(), bytes.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Sink sink;
  MediaRecord record;
  SessionLayer layer;
  layer.bind(&record, 1, &sink);
  feed(layer, {0x63});
  feed(layer, {0xCF, 128, 0, 4, 0});
  std::vector<uint8_t> identity{0xC7};
  identity.resize(17, 0x5A);
  feed(layer, identity);
  if (!layer.isLinkUp()) std::abort();
  uint8_t ch;
  layer.openChannel(1, &ch);
  layer.openChannel(2, &ch);
  std::vector<uint8_t> payload(600);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i);
  layer.send(0, payload.data(), 300, true);

  size_t i = 0;
  while (i < size) {
    const uint8_t op = data[i++];
    switch (op & 3) {
      case 0: {
        if (i >= size) break;
        size_t n = data[i++];
        if (n > size - i) n = size - i;
        feed(layer, data + i, n);
        i += n;
        break;
      }
      case 1: {
        // The frame length only ever goes down from the first reply's 128; a
        // later, smaller one does not re-cut data already queued.
        auto* out = static_cast<uint8_t*>(std::malloc(1024));
        uint16_t length = 1023;
        SessionLayer::buildFrame(&layer, out, &length, (op >> 2) % 3);
        if (length > 128) std::abort();
        std::free(out);
        break;
      }
      case 2:
        layer.send((op >> 2) & 15, payload.data(), uint16_t((op >> 6) * 150), (op & 0x20) != 0);
        break;
      case 3:
        if (op & 4)
          layer.openChannel(op, &ch);
        else
          layer.closeChannel((op >> 3) & 15);
        break;
    }
  }
  return 0;
}
