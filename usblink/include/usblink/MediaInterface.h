// The media interface: the contract between the connection server and a
// transport media library.
//
// A media library exports the six functions below unmangled; the server loads
// it with dlopen and binds them by name (all six are required). A media
// channel is one attached device, named by a positive index the library
// assigns when it first sees the device and never reuses while loaded.
//
// Threads and locks:
// - MediaEventCallback runs on the library's discovery thread, sometimes with
//   the discovery lock held: it must not call back into the exports (the
//   server only queues the event).
// - ChannelRxCallback and ChannelTxCallback run on the channel's I/O thread
//   with the channel's callback lock held: they must not call ChannelConnect
//   or ChannelDisconnect for the same channel.
// - After ChannelDisconnect returns, no callback of that channel runs.
//
// The transmit-request event is an eventfd owned by the channel. The server
// writes the 8-byte value 1 to it whenever it has something to send. It stays
// open until ChannelDisconnect or EnvDestroy, so a late set after a removal
// report is harmless. The media asks for frames when the event is set, when
// its last transfer was cut short for room, and once per idle period (mode
// 2); a write completion alone asks for nothing.
//
// EnvCreate returns once the devices already present have been reported (one
// kind-1 call listing them all). A removed channel is no longer found by
// GetChannelInfo or ChannelConnect; ChannelDisconnect still takes it (true)
// and releases it. A channel whose I/O fails after its set-up is reported
// removed like an unplugged device.
//
// Load hook: a media library may also export `bool MediaLoadHook()`. The
// loader calls it right after dlopen and, when it returns false, refuses the
// library (dlclose). usblink returns false in a second process while another
// holds its instance lock (<rt>/VLN_ZAMOusblink_instance_mutext.lock, taken at
// load); its EnvCreate then does nothing.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

enum : int {
  kMediaEventArrived = 1,  // these channels are ready for GetChannelInfo/ChannelConnect
  kMediaEventRemoved = 2,  // this channel is gone; its index is never reported again
};

enum : int {
  kMediaTxFirst = 0,    // first frame of a USB transfer
  kMediaTxFurther = 1,  // a further frame in the same transfer
  kMediaTxIdle = 2,     // the idle period passed; exactly one frame is asked for
};

// 520 bytes, little-endian, laid out exactly so: both sides are separate binaries.
struct MediaChannelInfo {
  uint16_t eventWaitMs;      // how long the link thread waits before the link counts as idle
  uint16_t closeTimeoutMs;   // an unanswered logical channel close counts as done after this
  uint16_t maxFrameLength;   // the largest frame the media carries (frame limit - 1)
  uint8_t mediaFlag;         // always 1; the server does not read it
  uint8_t reserved;          // not written
  char16_t devicePath[256];  // upper-case device path, terminated
};
static_assert(sizeof(MediaChannelInfo) == 520);
static_assert(offsetof(MediaChannelInfo, eventWaitMs) == 0);
static_assert(offsetof(MediaChannelInfo, closeTimeoutMs) == 2);
static_assert(offsetof(MediaChannelInfo, maxFrameLength) == 4);
static_assert(offsetof(MediaChannelInfo, mediaFlag) == 6);
static_assert(offsetof(MediaChannelInfo, reserved) == 7);
static_assert(offsetof(MediaChannelInfo, devicePath) == 8);

using MediaEventCallback = void (*)(void* context, int kind, const uint32_t* indices, size_t count);
// One received link frame (never empty), valid during the call only; the
// callee may change the bytes and the length in place.
using ChannelRxCallback = void (*)(void* context, uint8_t* frame, uint16_t* length);
// In: *length is the room at destination. Out: the frame length written, 0 when
// there is nothing to send.
using ChannelTxCallback = void (*)(void* context, uint8_t* destination, uint16_t* length, int mode);

// Function types of the six exports, for the loader.
using GetMediaInfoFn = void (*)(char16_t* text, int size);
using GetChannelInfoFn = bool (*)(uint32_t index, MediaChannelInfo* info, int size);
using EnvCreateFn = void (*)(MediaEventCallback cb, void* context);
using EnvDestroyFn = void (*)();
using ChannelConnectFn = bool (*)(uint32_t index, ChannelRxCallback rx, ChannelTxCallback tx,
                                  void* context, int* txEvent);
using ChannelDisconnectFn = bool (*)(uint32_t index);

}  // extern "C"

// The exported names the server binds.
inline constexpr const char* kMediaExportNames[6] = {"EnvCreate",      "EnvDestroy",
                                                     "GetMediaInfo",   "GetChannelInfo",
                                                     "ChannelConnect", "ChannelDisconnect"};
