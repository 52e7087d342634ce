// Where renderings go. A rendering runs twice over the same code: first with
// a counting sink to learn its exact size, then into one malloc'ed buffer of
// that size, so a large log is neither grown in steps nor copied at the end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace logcodec {

// The bytes an XML entity adds to the one character it stands for.
inline constexpr std::array<uint8_t, 256> kEntityExtra = [] {
  std::array<uint8_t, 256> extra{};
  extra[uint8_t('&')] = 4;   // &amp;
  extra[uint8_t('<')] = 3;   // &lt;
  extra[uint8_t('>')] = 3;   // &gt;
  extra[uint8_t('\'')] = 5;  // &apos;
  extra[uint8_t('"')] = 5;   // &quot;
  return extra;
}();

class TextSink {
 public:
  // Counts only.
  TextSink() = default;
  // Writes into `buffer`, which holds `capacity` bytes.
  TextSink(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

  size_t size() const { return size_; }

  void append(std::string_view text) {
    char* at = reserve(text.size());
    if (at && !text.empty()) std::memcpy(at, text.data(), text.size());
  }

  void append(char c) {
    if (char* at = reserve(1)) *at = c;
  }

  void appendRepeated(size_t count, char c) {
    char* at = reserve(count);
    if (at) std::memset(at, c, count);
  }

  // Decimal, zero-padded to at least minDigits digits.
  void appendUnsigned(uint64_t value, size_t minDigits = 1) {
    size_t digits = 1;
    for (uint64_t v = value; v >= 10; v /= 10) ++digits;
    if (digits < minDigits) appendRepeated(minDigits - digits, '0');
    char* at = reserve(digits);
    if (!at) return;
    for (size_t i = digits; i > 0; --i, value /= 10) at[i - 1] = char('0' + value % 10);
  }

  // XML text with all five predefined entities.
  void appendEscaped(std::string_view text) {
    size_t extra = 0;
    for (unsigned char c : text) extra += kEntityExtra[c];
    char* at = reserve(text.size() + extra);
    if (!at || text.empty()) return;
    if (extra == 0) {
      std::memcpy(at, text.data(), text.size());
      return;
    }
    for (unsigned char c : text) {
      switch (c) {
        case '&':
          at = put(at, "&amp;");
          break;
        case '<':
          at = put(at, "&lt;");
          break;
        case '>':
          at = put(at, "&gt;");
          break;
        case '\'':
          at = put(at, "&apos;");
          break;
        case '"':
          at = put(at, "&quot;");
          break;
        default:
          *at++ = char(c);
          break;
      }
    }
  }

 private:
  template <size_t N>
  static char* put(char* at, const char (&literal)[N]) {
    std::memcpy(at, literal, N - 1);
    return at + N - 1;
  }

  // Where the next `count` bytes go; null when only counting. The write pass
  // must produce what the count pass measured: running past it is a fault of
  // this code, stopped here rather than written past the buffer.
  char* reserve(size_t count) {
    char* at = nullptr;
    if (buffer_) {
      if (count > capacity_ - size_) throw std::logic_error("rendering outgrew its measured size");
      at = buffer_ + size_;
    }
    size_ += count;
    return at;
  }

  char* buffer_ = nullptr;
  size_t capacity_ = 0;
  size_t size_ = 0;
};

}  // namespace logcodec
