#include "plat/trace.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace plat {
namespace trace_detail {

constexpr uint32_t kUnread = 0xFFFFFFFFu;  // no value can switch on every bit
std::atomic<uint32_t> gMask{kUnread};

namespace {

uint32_t maskFromEnvironment() {
  const char* value = ::getenv("VLN_TRACE");
  return value ? traceAreasOf(value) : 0;
}

}  // namespace

bool checkSlow(TraceArea area) {
  uint32_t mask = gMask.load(std::memory_order_acquire);
  if (mask == kUnread) {
    uint32_t expected = kUnread;
    gMask.compare_exchange_strong(expected, maskFromEnvironment(), std::memory_order_acq_rel);
    mask = gMask.load(std::memory_order_acquire);
  }
  return (mask & (1u << unsigned(area))) != 0;
}

}  // namespace trace_detail

namespace {

constexpr const char* kAreaNames[kTraceAreaCount] = {"usb",    "vbus", "link",
                                                     "frames", "rpc",  "pipes"};
constexpr size_t kLineRoom = 1024;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

const char* traceAreaName(TraceArea area) {
  const unsigned i = unsigned(area);
  return i < unsigned(kTraceAreaCount) ? kAreaNames[i] : "?";
}

uint32_t traceAreasOf(const char* value) {
  uint32_t mask = 0;
  const char* p = value;
  while (p && *p) {
    const char* end = p;
    while (*end && *end != ',') ++end;
    const char* b = p;
    const char* e = end;
    while (b < e && isBlank(*b)) ++b;
    while (e > b && isBlank(e[-1])) --e;
    const size_t n = size_t(e - b);
    if (n == 3 && ::strncasecmp(b, "all", 3) == 0) mask |= (1u << kTraceAreaCount) - 1;
    for (int i = 0; i < kTraceAreaCount; ++i)
      if (n == std::strlen(kAreaNames[i]) && ::strncasecmp(b, kAreaNames[i], n) == 0)
        mask |= 1u << i;
    p = *end ? end + 1 : end;
  }
  return mask;
}

void traceReload() {
  const char* value = ::getenv("VLN_TRACE");
  trace_detail::gMask.store(value ? traceAreasOf(value) : 0, std::memory_order_release);
}

void traceLine(TraceArea area, const char* format, ...) {
  char line[kLineRoom];
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  ::localtime_r(&now.tv_sec, &local);
  int used = ::snprintf(line, sizeof line, "trace %02d:%02d:%02d.%06ld %s: ", local.tm_hour,
                        local.tm_min, local.tm_sec, long(now.tv_nsec / 1000), traceAreaName(area));
  if (used < 0) return;
  va_list args;
  va_start(args, format);
  const int text = ::vsnprintf(line + used, sizeof line - size_t(used) - 1, format, args);
  va_end(args);
  if (text > 0) used += text;
  // vsnprintf leaves room for the terminator, which the newline replaces.
  if (size_t(used) > sizeof line - 2) {
    used = int(sizeof line - 2);
    std::memcpy(line + used - 3, "...", 3);
  }
  line[used++] = '\n';
  const char* p = line;
  size_t left = size_t(used);
  while (left > 0) {
    const ssize_t w = ::write(STDERR_FILENO, p, left);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    left -= size_t(w);
  }
}

std::string traceHex(const uint8_t* data, size_t length, size_t limit) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  const size_t shown = length < limit ? length : limit;
  out.reserve(shown * 3 + 16);
  for (size_t i = 0; i < shown; ++i) {
    if (i) out += ' ';
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  if (shown < length) out += (shown ? " ... (+" : "... (+") + std::to_string(length - shown) + ")";
  return out;
}

}  // namespace plat
