#include "codeccommon/CodecError.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "plat/memory.h"

namespace codec {

void assignNoThrow(std::string& target, const std::string& text) noexcept {
  try {
    target = text;
  } catch (...) {
    target.clear();
  }
}

char* mallocText(const std::string& text) noexcept {
  auto* p = static_cast<char*>(std::malloc(text.size() + 1));
  if (p) std::memcpy(p, text.c_str(), text.size() + 1);
  return p;
}

uint8_t* mallocBytes(const void* data, size_t length) noexcept {
  auto* p = static_cast<uint8_t*>(std::malloc(length ? length : 1));
  if (p && length) std::memcpy(p, data, length);
  return p;
}

void* mallocResult(size_t length) noexcept {
  // Below this a result is a few thousand pages at most: not worth a call.
  constexpr size_t kPrefaultFrom = size_t(8) << 20;
  // From here malloc gives the block a mapping of its own, so huge-page
  // advice on it goes when the block does and touches nothing else.
  constexpr size_t kHugePagesFrom = size_t(32) << 20;
  // The pages of a larger one are made present in slices of at least this,
  // on up to this many threads (this one included): clearing fresh pages is
  // the OS's work, and it goes as wide as it is asked to.
  constexpr size_t kSliceMin = size_t(32) << 20;
  constexpr size_t kMaxSlices = 4;
  void* p = std::malloc(length ? length : 1);
  if (!p || length < kPrefaultFrom) return p;
  const char* prefault = std::getenv("VLN_CODEC_PREFAULT");
  if (prefault && std::strcmp(prefault, "0") == 0) return p;

  char* const base = static_cast<char*>(p);
  // Slices end on huge-page boundaries, so no huge page is populated half
  // by one thread and half by another (the second would find it present
  // already, or make it of small pages).
  size_t align = 4096;
  if (length >= kHugePagesFrom && plat::adviseHugePages(p, length) != 0)
    align = plat::hugePageBytes();
  const size_t processors = std::max<size_t>(1, std::thread::hardware_concurrency() / 2);
  const size_t slices = std::clamp<size_t>(length / kSliceMin, 1, std::min(kMaxSlices, processors));
  const uintptr_t begin = reinterpret_cast<uintptr_t>(base);
  auto boundary = [&](size_t slice) -> char* {
    if (slice == 0) return base;
    if (slice == slices) return base + length;
    const uintptr_t at = (begin + length / slices * slice + align - 1) & ~uintptr_t(align - 1);
    return base + std::min<size_t>(at - begin, length);
  };
  std::vector<std::thread> helpers;
  size_t done = 0;  // slices handed out so far, in order
  try {
    helpers.reserve(slices - 1);
    for (; done + 1 < slices; ++done) {
      char* from = boundary(done);
      char* to = boundary(done + 1);
      helpers.emplace_back([from, to] { plat::prefaultForWrite(from, size_t(to - from)); });
    }
  } catch (...) {
    // No thread to be had: the rest is done here.
  }
  char* from = boundary(done);
  plat::prefaultForWrite(from, size_t(base + length - from));
  for (std::thread& t : helpers) t.join();
  return p;
}

}  // namespace codec
