// Little-endian fields out of and into byte buffers, for untrusted messages.
//
// ByteReader never reads past its end: a read that does not fit yields 0 (or
// nothing), moves to the end and sets the sticky failed() flag, so a parser
// reads every field and checks once. ByteWriter appends to a vector and
// fails the same way past an optional size limit, writing nothing of the
// field that did not fit. No OS calls, no exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace base {

// The one little-endian encoding of an n-byte field (n at most 8), for the
// reader and writer below and for fields at fixed places in a buffer whose
// length has been checked.
inline uint64_t loadLittleEndian(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint64_t(p[i]) << (8 * i);
  return v;
}
inline void storeLittleEndian(uint8_t* p, uint64_t v, size_t n) {
  for (size_t i = 0; i < n; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline uint16_t loadU16(const uint8_t* p) { return uint16_t(loadLittleEndian(p, 2)); }
inline uint32_t loadU32(const uint8_t* p) { return uint32_t(loadLittleEndian(p, 4)); }
inline uint64_t loadU64(const uint8_t* p) { return loadLittleEndian(p, 8); }

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t length) : data_(data), length_(data ? length : 0) {}
  explicit ByteReader(const std::vector<uint8_t>& bytes) : ByteReader(bytes.data(), bytes.size()) {}

  uint8_t u8() { return uint8_t(take(1)); }
  uint16_t u16() { return uint16_t(take(2)); }
  uint32_t u32() { return uint32_t(take(4)); }
  uint64_t u64() { return take(8); }
  int16_t i16() { return int16_t(u16()); }
  int32_t i32() { return int32_t(u32()); }
  // An unsigned field of n bytes, n at most 8 (more fails).
  uint64_t uN(size_t n) { return n <= 8 ? take(n) : (fail(), 0); }
  // An IEEE single from its bit pattern.
  float f32() {
    const uint32_t bits = u32();
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }

  // Copies n bytes; on a short buffer copies nothing and fails.
  bool bytes(void* destination, size_t n) {
    if (!fits(n)) return false;
    if (n) std::memcpy(destination, data_ + position_, n);
    position_ += n;
    return true;
  }
  // The next n bytes in place (valid as long as the buffer), or null and failed.
  const uint8_t* view(size_t n) {
    if (!fits(n)) return nullptr;
    const uint8_t* p = data_ + position_;
    position_ += n;
    return p;
  }
  // Skips n bytes.
  bool skip(size_t n) { return view(n) != nullptr || n == 0; }
  // A zero-terminated text of at most maxLength bytes before its zero; the
  // terminator is consumed. No terminator within maxLength + 1 bytes (or
  // before the end) fails and consumes nothing more than the end.
  // A maxLength of kNoLimit (or anything at least remaining()) takes any text
  // that ends before the end.
  static constexpr size_t kNoLimit = SIZE_MAX;
  bool cstring(std::string_view* out, size_t maxLength) {
    if (failed_) return false;
    const size_t left = remaining();
    const size_t window = maxLength < left ? maxLength + 1 : left;
    const void* zero = window ? std::memchr(data_ + position_, 0, window) : nullptr;
    if (!zero) return fail();
    const size_t n = size_t(static_cast<const uint8_t*>(zero) - (data_ + position_));
    *out = std::string_view(reinterpret_cast<const char*>(data_ + position_), n);
    position_ += n + 1;
    return true;
  }

  size_t position() const { return position_; }
  size_t remaining() const { return length_ - position_; }
  size_t length() const { return length_; }
  bool atEnd() const { return position_ == length_; }
  bool failed() const { return failed_; }
  // Everything was read without a failure and nothing is left.
  bool done() const { return !failed_ && atEnd(); }

 private:
  bool fits(size_t n) {
    if (!failed_ && n <= remaining()) return true;
    fail();
    return false;
  }
  bool fail() {
    failed_ = true;
    position_ = length_;
    return false;
  }
  uint64_t take(size_t n) {
    if (!fits(n)) return 0;
    const uint64_t v = loadLittleEndian(data_ + position_, n);
    position_ += n;
    return v;
  }

  const uint8_t* data_;
  size_t length_;
  size_t position_ = 0;
  bool failed_ = false;
};

class ByteWriter {
 public:
  static constexpr size_t kNoLimit = SIZE_MAX;

  explicit ByteWriter(size_t limit = kNoLimit) : limit_(limit) {}

  void reserve(size_t n) { out_.reserve(n < limit_ ? n : limit_); }

  ByteWriter& u8(uint8_t v) { return put(v, 1); }
  ByteWriter& u16(uint16_t v) { return put(v, 2); }
  ByteWriter& u32(uint32_t v) { return put(v, 4); }
  ByteWriter& u64(uint64_t v) { return put(v, 8); }
  ByteWriter& i16(int16_t v) { return u16(uint16_t(v)); }
  ByteWriter& i32(int32_t v) { return u32(uint32_t(v)); }
  ByteWriter& f32(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return u32(bits);
  }
  // n zero bytes.
  ByteWriter& zeros(size_t n) {
    if (room(n)) out_.resize(out_.size() + n);
    return *this;
  }
  ByteWriter& bytes(const void* p, size_t n) {
    if (!room(n)) return *this;
    const uint8_t* b = static_cast<const uint8_t*>(p);
    if (n) out_.insert(out_.end(), b, b + n);
    return *this;
  }
  // The text and one zero byte.
  ByteWriter& cstring(std::string_view text) {
    if (!room(text.size() + 1)) return *this;
    const size_t at = out_.size();
    out_.resize(at + text.size() + 1);  // the terminator is the zero fill
    if (!text.empty()) std::memcpy(out_.data() + at, text.data(), text.size());
    return *this;
  }

  const std::vector<uint8_t>& data() const { return out_; }
  std::vector<uint8_t> take() { return std::move(out_); }
  size_t size() const { return out_.size(); }
  bool failed() const { return failed_; }

 private:
  bool room(size_t n) {
    if (failed_ || n > limit_ - out_.size()) {
      failed_ = true;
      return false;
    }
    return true;
  }
  ByteWriter& put(uint64_t v, size_t n) {
    if (!room(n)) return *this;
    const size_t at = out_.size();
    out_.resize(at + n);
    storeLittleEndian(out_.data() + at, v, n);
    return *this;
  }

  size_t limit_;
  std::vector<uint8_t> out_;
  bool failed_ = false;
};

}  // namespace base
