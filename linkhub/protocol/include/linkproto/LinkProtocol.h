// The wire constants of the link protocol between the server's session layer
// and a device, shared by both ends (the server and the device emulator).
//
// Byte 0 of a frame is the control byte. Bit 0 clear: an I frame (bits 1-3
// N(S), bit 4 P/F, bits 5-7 N(R)), then the channel byte, an optional
// protocol id and data. Bits 1..0 = 01: an S frame (bits 2-3 type). 11: a U
// frame, whose whole byte is one of the codes below.
#pragma once

#include <cstdint>

namespace linkproto {

// U frames.
inline constexpr uint8_t kResetRequest = 0x8F;
inline constexpr uint8_t kResetAnswer = 0x63;
inline constexpr uint8_t kParamRequest = 0xAF;
inline constexpr uint8_t kParamAnswer = 0xCF;  // u16 max frame length (10 bits), u16 channels (4 bits)
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

}  // namespace linkproto
