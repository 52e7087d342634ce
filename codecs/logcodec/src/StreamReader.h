// A bounds-checked little-endian cursor over one log image. Every read checks
// the bytes left first; a failed read leaves the cursor where it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace logcodec {

class StreamReader {
 public:
  StreamReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t offset() const { return offset_; }
  size_t remaining() const { return size_ - offset_; }

  bool readU8(uint8_t& value) { return readLittleEndian(value); }
  bool readU16(uint16_t& value) { return readLittleEndian(value); }
  bool readU32(uint32_t& value) { return readLittleEndian(value); }
  bool readU64(uint64_t& value) { return readLittleEndian(value); }

  // A text ended by a NUL byte; the view excludes the NUL, which is consumed.
  bool readText(std::string_view& text) {
    if (remaining() == 0) return false;
    const void* end = std::memchr(data_ + offset_, 0, remaining());
    if (!end) return false;
    size_t length = size_t(static_cast<const uint8_t*>(end) - (data_ + offset_));
    text = std::string_view(reinterpret_cast<const char*>(data_ + offset_), length);
    offset_ += length + 1;
    return true;
  }

 private:
  template <typename T>
  bool readLittleEndian(T& value) {
    if (remaining() < sizeof(T)) return false;
    T v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v = T(v | T(T(data_[offset_ + i]) << (8 * i)));
    value = v;
    offset_ += sizeof(T);
    return true;
  }

  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

}  // namespace logcodec
