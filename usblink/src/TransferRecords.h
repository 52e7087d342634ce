// USB transfer records: the content of every bulk transfer in both directions
// is a run of records, each one length byte n and the n bytes of one link
// frame. A record with n = 0 carries nothing.
//
// The link descriptor read at set-up gives the transfer size S; the frame
// limit L = min(S, 256), and the host never writes a frame longer than L - 1.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "usblink/MediaInterface.h"

namespace usblink {

// The link descriptor: GET_DESCRIPTOR of type 0x80, index 0, 6 bytes.
inline constexpr uint8_t kLinkDescriptorRequestType = 0x80;
inline constexpr uint8_t kLinkDescriptorRequest = 6;
inline constexpr uint16_t kLinkDescriptorValue = 0x8000;
inline constexpr uint16_t kLinkDescriptorLength = 6;
inline constexpr uint16_t kLinkMagic = 0xAC1F;
// Below this a transfer has no room for a frame with its control and channel
// bytes; such a descriptor is refused.
inline constexpr uint16_t kMinTransferSize = 4;

struct LinkDescriptor {
  uint16_t transferSize = 0;
  uint16_t frameLimit() const { return std::min<uint16_t>(transferSize, 256); }
};

// Checks the 6 descriptor bytes: the magic at offset 2 and a usable transfer
// size at offset 4 (both little-endian).
bool parseLinkDescriptor(const uint8_t* bytes, size_t length, LinkDescriptor* out);

// Rounds a read up to whole packets, so that a device packet never lands in a
// buffer too short for it (which the host controller reports as an overflow
// and loses).
inline size_t wholePackets(size_t bytes, uint16_t maxPacket) {
  if (maxPacket == 0) return bytes;
  size_t packets = (bytes + maxPacket - 1) / maxPacket;
  return std::max<size_t>(packets, 1) * maxPacket;
}

// A bulk OUT transfer whose length is a non-zero multiple of the packet size
// ends only with a zero-length packet after it.
inline bool needsZeroLengthPacket(size_t length, uint16_t maxPacket) {
  return maxPacket != 0 && length != 0 && length % maxPacket == 0;
}

// Splits the received byte stream into frames. A record cut by the end of a
// read is carried over to the start of the buffer and completed by the next
// read, which lands right after it: the buffer holds the longest possible
// carry (255 bytes) plus a whole read, so a carry never leaves the next read
// without room.
class RecordSplitter {
 public:
  static constexpr size_t kMaxCarry = 255;

  explicit RecordSplitter(size_t readLength)
      : readLength_(std::max<size_t>(readLength, 1)), buffer_(kMaxCarry + readLength_) {}

  // Where the next read goes, and how long it may be.
  uint8_t* readSpace() { return buffer_.data() + kept_; }
  size_t readLength() const { return readLength_; }
  size_t kept() const { return kept_; }

  // Walks the carried bytes and `received` new ones at readSpace(), calling
  // deliver(uint8_t* frame, uint16_t length) for each complete non-empty
  // record, in order. The frame bytes may be changed by the callee.
  template <typename Deliver>
  void consume(size_t received, Deliver&& deliver) {
    received = std::min(received, readLength_);
    const size_t count = kept_ + received;
    uint8_t* data = buffer_.data();
    size_t p = 0;
    kept_ = 0;
    while (p < count) {
      const size_t n = data[p];
      if (p + 1 + n > count) {
        kept_ = count - p;
        std::memmove(data, data + p, kept_);
        return;
      }
      if (n > 0) deliver(data + p + 1, uint16_t(n));
      p += 1 + n;
    }
  }

 private:
  size_t readLength_;
  std::vector<uint8_t> buffer_;
  size_t kept_ = 0;
};

struct PackResult {
  size_t length = 0;     // bytes of records written
  bool full = false;     // stopped for room while frames kept coming
  bool overrun = false;  // a frame longer than the room offered came back
};

// Builds one bulk OUT transfer by asking for frames one at a time:
// ask(uint8_t* destination, uint16_t* length, int mode) with *length the room
// (L - 1) on entry. Frames are packed while a maximal record still fits
// (l <= S - L); the idle mode asks for exactly one.
template <typename Ask>
PackResult packTransfer(uint8_t* buffer, size_t transferSize, uint16_t frameLimit, bool idle,
                        Ask&& ask) {
  PackResult r;
  if (frameLimit < 2 || transferSize < frameLimit) return r;
  const uint16_t room = uint16_t(frameLimit - 1);
  size_t l = 0;
  for (;;) {
    uint16_t length = room;
    const int mode = idle ? kMediaTxIdle : (l == 0 ? kMediaTxFirst : kMediaTxFurther);
    ask(buffer + l + 1, &length, mode);
    if (length == 0) break;
    if (length > room) {
      r.overrun = true;
      break;
    }
    buffer[l] = uint8_t(length);
    l += size_t(length) + 1;
    if (idle) break;
    if (l > transferSize - frameLimit) {
      r.full = true;
      break;
    }
  }
  r.length = l;
  return r;
}

}  // namespace usblink
