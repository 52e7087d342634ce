// A diagnostic trace for finding out why a device does not show up or a
// channel ends: switched on per area by the environment variable VLN_TRACE,
// a comma-separated list of area names or "all" (VLN_TRACE=usb,link). Off by
// default; then a trace point costs one relaxed load and a test.
//
// Each line goes to standard error in one write, so lines of several threads
// never mix:
//   trace 14:03:27.512204 link: [1] sent 0x8F link reset request
//
// Areas: usb (device matching, the link descriptor check, libusb errors),
// vbus (the virtual bus backend), link (handshake, protocol errors, resets),
// frames (every link frame in and out, decoded), rpc (the control RPC
// server), pipes (channel pipes: listen, connect, why a channel ended).
//
// Threads: any thread. The variable is read once, at the first trace point
// reached; traceReload() reads it again.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {

enum class TraceArea : uint8_t { kUsb, kVbus, kLink, kFrames, kRpc, kPipes };
inline constexpr int kTraceAreaCount = 6;

namespace trace_detail {
// Bit n: area n is on. Every bit set until the variable has been read.
extern std::atomic<uint32_t> gMask;
bool checkSlow(TraceArea area);
}  // namespace trace_detail

inline bool traceOn(TraceArea area) {
  const uint32_t bit = 1u << unsigned(area);
  if ((trace_detail::gMask.load(std::memory_order_relaxed) & bit) == 0) return false;
  return trace_detail::checkSlow(area);
}

// Writes one line for the area (whether or not it is on; callers check with
// traceOn, or use VLN_TRACE). Texts longer than a line's room are cut.
void traceLine(TraceArea area, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The areas a VLN_TRACE value switches on, as a bit mask (bit n for area n).
// Names are matched ignoring case; blanks around them and unknown names are
// ignored.
uint32_t traceAreasOf(const char* value);
const char* traceAreaName(TraceArea area);
// Reads VLN_TRACE again (for programs and tests that change it).
void traceReload();

// Up to `limit` bytes as two-digit hex separated by blanks, with "... (+N)"
// for what was left out.
std::string traceHex(const uint8_t* data, size_t length, size_t limit = 24);

}  // namespace plat

// VLN_TRACE(kLink, "[%u] sent 0x%02X", index, code): the arguments are
// evaluated only when the area is on.
#define VLN_TRACE(area, ...)                                   \
  do {                                                         \
    if (::plat::traceOn(::plat::TraceArea::area))              \
      ::plat::traceLine(::plat::TraceArea::area, __VA_ARGS__); \
  } while (0)
