// How failures travel inside a codec: thrown as text, caught at the export
// boundary, where any other exception becomes "Exception error".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/ByteReader.h"

namespace codec {

struct CodecError {
  std::string text;
};

[[noreturn]] inline void fail(std::string text) { throw CodecError{std::move(text)}; }

// Lengths come from the file: a read that ran past its end fails the codec.
inline void requireInput(const base::ByteReader& in) {
  if (in.failed()) fail("Out of input data");
}

inline constexpr const char* kExceptionError = "Exception error";

// Assigns without letting an allocation failure escape an export.
void assignNoThrow(std::string& target, const std::string& text) noexcept;

// Runs body(); true on success. A CodecError's text, or "Exception error" for
// anything else (parser errors, bad_alloc, conversions), goes to lastError.
template <typename Body>
bool guardExport(std::string& lastError, Body&& body) noexcept {
  try {
    body();
    return true;
  } catch (const CodecError& e) {
    assignNoThrow(lastError, e.text);
  } catch (...) {
    assignNoThrow(lastError, kExceptionError);
  }
  return false;
}

// The largest result a conversion may produce from `inputBytes` of input:
// 64 times the input plus 64 MiB, far beyond any real data. A result that
// grows faster than its input (padding, repeated samples) is measured first
// and refused above this, as if memory had run out, before it is allocated.
inline constexpr uint64_t kResultGrowth = 64;
inline constexpr uint64_t kResultAllowance = uint64_t(64) << 20;
inline bool resultTooLarge(uint64_t resultBytes, uint64_t inputBytes) {
  constexpr uint64_t kNoLimitFrom = (UINT64_MAX - kResultAllowance) / kResultGrowth;
  return inputBytes < kNoLimitFrom && resultBytes > inputBytes * kResultGrowth + kResultAllowance;
}

// malloc'ed copies handed to callers, who free() them. Null when out of memory.
char* mallocText(const std::string& text) noexcept;
uint8_t* mallocBytes(const void* data, size_t length) noexcept;
// An uninitialised malloc block of `length` bytes for a result about to be
// written whole. A large one has its pages made present before it returns,
// in a few slices side by side on short-lived threads joined here: page by
// page, their first touch costs more than the conversion writing them. One
// of 32 MiB or more is asked to be of huge pages first (the advice lives
// and dies with the block's own mapping), and its slices end on huge-page
// boundaries. VLN_CODEC_PREFAULT=0 leaves all of that out (the benchmark's
// baseline). Null when out of memory.
void* mallocResult(size_t length) noexcept;

}  // namespace codec
