// The records of the virtual USB bus, one per SOCK_SEQPACKET message, all
// fields little-endian (the socket calls are in plat/vbus.h; the whole
// exchange is described in usblink/docs/vbus.md).
//
//   control         host to device  u8 0x01, u8 bmRequestType, u8 bRequest,
//                                   u16 wValue, u16 wIndex, u16 wLength, OUT data
//   control answer  device to host  u8 0x81, u8 status (0 ok, 1 stall),
//                                   IN data (at most wLength)
//   bulk out        host to device  u8 0x02, the bytes of one bulk OUT transfer
//                                   (none: a zero-length packet)
//   bulk in         device to host  u8 0x03, the bytes of one bulk IN transfer
//                                   (at most the link descriptor's transfer size)
#pragma once

#include <cstddef>
#include <cstdint>

namespace vbus {

inline constexpr uint8_t kControl = 0x01;
inline constexpr uint8_t kControlAnswer = 0x81;
inline constexpr uint8_t kBulkOut = 0x02;
inline constexpr uint8_t kBulkIn = 0x03;

inline constexpr size_t kControlHeader = 9;  // type and the 8 setup bytes
inline constexpr size_t kAnswerHeader = 2;   // type and status
inline constexpr uint8_t kStatusOk = 0;
inline constexpr uint8_t kStatusStall = 1;

// Every vbus device has one interface with one bulk IN and one bulk OUT
// endpoint of this maximum packet size.
inline constexpr uint16_t kMaxPacket = 512;
// The longest record either side sends: a control answer with 65535 bytes.
inline constexpr size_t kMaxRecord = kAnswerHeader + 65535;
// How long the host waits for a control answer.
inline constexpr int kControlTimeoutMs = 5000;
// How long the host retries a refused connect to a device that just appeared.
inline constexpr int kConnectRetryMs = 1000;

}  // namespace vbus
