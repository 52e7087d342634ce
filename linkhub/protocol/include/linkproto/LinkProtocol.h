// The wire constants and frame layout of the link protocol between the
// server's session layer and a device, shared by both ends (the server and
// the device emulator) and by the tests' frame builders. What to send when
// (acknowledgements, resends) stays with each end.
//
// Byte 0 of a frame is the control byte. Bit 0 clear: an I frame (bits 1-3
// N(S), bit 4 P/F, bits 5-7 N(R)), then the channel byte, an optional
// protocol id and data. Bits 1..0 = 01: an S frame (bits 2-3 type). 11: a U
// frame, whose whole byte is one of the codes below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/ByteReader.h"

namespace linkproto {

// U frames.
inline constexpr uint8_t kResetRequest = 0x8F;
inline constexpr uint8_t kResetAnswer = 0x63;
inline constexpr uint8_t kParamRequest = 0xAF;
inline constexpr uint8_t kParamAnswer =
    0xCF;  // u16 max frame length (10 bits), u16 channels (4 bits)
inline constexpr uint8_t kIdentityRequest = 0xA7;
inline constexpr uint8_t kIdentityAnswer = 0xC7;  // the 16-byte HwId

inline constexpr uint8_t kPfBit = 0x10;

// Channel byte of an I frame.
inline constexpr uint8_t kChannelLast = 0x10;   // last fragment of a message
inline constexpr uint8_t kChannelFirst = 0x20;  // a protocol-id byte follows

// S frame types.
inline constexpr uint8_t kSReady = 0;
inline constexpr uint8_t kSReject = 1;
inline constexpr uint8_t kSBusy = 2;

inline constexpr int kChannels = 16;

// Sequence numbers count modulo 8.
inline constexpr uint8_t seqAdd(uint8_t a, int n) { return uint8_t((a + n) & 7); }
inline constexpr uint8_t seqDistance(uint8_t from, uint8_t to) { return uint8_t((to - from) & 7); }

// Each end acknowledges the other's frames with its next frame that goes
// anyway, and sends a ready of its own once this many wait: less than half
// of a window of seven, so that the acknowledgement comes while the sender
// still has room and a one-way stream never waits for a poll.
inline constexpr uint8_t kAckAfterFrames = 3;

// ---- control byte ----

inline constexpr bool isUFrame(uint8_t control) { return (control & 3) == 3; }
inline constexpr bool isSFrame(uint8_t control) { return (control & 3) == 1; }
inline constexpr bool isIFrame(uint8_t control) { return (control & 1) == 0; }
inline constexpr bool hasPf(uint8_t control) { return (control & kPfBit) != 0; }
inline constexpr uint8_t frameNr(uint8_t control) { return uint8_t(control >> 5); }
inline constexpr uint8_t frameNs(uint8_t control) { return uint8_t((control >> 1) & 7); }
inline constexpr uint8_t sFrameType(uint8_t control) { return uint8_t((control >> 2) & 3); }
// A U frame's code with the P/F bit cleared.
inline constexpr uint8_t uFrameCode(uint8_t control) { return uint8_t(control & ~kPfBit); }

inline constexpr uint8_t sControl(uint8_t type, uint8_t nr, bool pf) {
  return uint8_t(0x01 | ((type & 3) << 2) | (pf ? kPfBit : 0) | ((nr & 7) << 5));
}
inline constexpr uint8_t iControl(uint8_t ns, uint8_t nr, bool pf) {
  return uint8_t(((ns & 7) << 1) | (pf ? kPfBit : 0) | ((nr & 7) << 5));
}
// A stored I frame's control byte sent (again) with the current N(R): N(S)
// stays, P/F is set afresh.
inline constexpr uint8_t iControlWithNr(uint8_t control, uint8_t nr, bool pf) {
  return iControl(frameNs(control), nr, pf);
}

// ---- I frame ----

// Control byte, channel byte, then (first fragment only) the protocol id.
inline constexpr size_t kIHeaderLength = 2;
// A channel byte at or above this carries bits no channel byte has.
inline constexpr uint8_t kChannelByteLimit = 64;

inline constexpr uint8_t channelByte(uint8_t channel, bool first, bool last) {
  return uint8_t((channel & 0xF) | (first ? kChannelFirst : 0) | (last ? kChannelLast : 0));
}
inline constexpr uint8_t channelOf(uint8_t channelByte) { return uint8_t(channelByte & 0xF); }
inline constexpr bool isFirstFragment(uint8_t channelByte) {
  return (channelByte & kChannelFirst) != 0;
}
inline constexpr bool isLastFragment(uint8_t channelByte) {
  return (channelByte & kChannelLast) != 0;
}

// ---- parameter answer ----

inline constexpr size_t kParamAnswerLength = 4;  // after the code byte
inline constexpr uint16_t kMaxFrameMask = 0x3FF;
inline constexpr uint16_t kChannelCountMask = 0xF;

struct LinkParams {
  uint16_t maxFrame = 0;
  uint16_t channels = 0;
};

// The whole frame: code byte and payload, the fields as given (a device cuts
// them to their bits; a test may send more to see the host cut them).
inline std::vector<uint8_t> paramAnswer(LinkParams params) {
  base::ByteWriter out;
  out.u8(kParamAnswer).u16(params.maxFrame).u16(params.channels);
  return out.take();
}
// The payload after the code byte, each field cut to its bits; false unless
// it has exactly its length.
inline bool readParamAnswer(const uint8_t* payload, size_t length, LinkParams* params) {
  if (length != kParamAnswerLength) return false;
  base::ByteReader in(payload, length);
  params->maxFrame = uint16_t(in.u16() & kMaxFrameMask);
  params->channels = uint16_t(in.u16() & kChannelCountMask);
  return in.done();
}

}  // namespace linkproto
