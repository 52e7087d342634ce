// Texts between standard UTF-8 (what devices, files and the C side carry)
// and UTF-16 (Qt, the media records, Java). Each maximal ill-formed
// subsequence becomes one U+FFFD, so a bad byte never swallows a good
// character after it; byte limits are cut at a character boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace base {
namespace detail {

inline constexpr char16_t kReplacement = 0xFFFD;

struct Lead {
  int trail;            // continuation bytes that follow
  std::uint32_t value;  // the lead's payload bits
  std::uint8_t lo, hi;  // allowed range of the first continuation byte
};

// The well-formed lead bytes of the Unicode table of UTF-8 sequences; the
// narrower first-continuation ranges exclude overlongs, surrogates and code
// points above U+10FFFF.
inline bool leadOf(std::uint8_t b, Lead& lead) {
  if (b >= 0xC2 && b <= 0xDF)
    lead = {1, b & 0x1Fu, 0x80, 0xBF};
  else if (b == 0xE0)
    lead = {2, 0, 0xA0, 0xBF};
  else if (b == 0xED)
    lead = {2, 0xD, 0x80, 0x9F};
  else if (b >= 0xE1 && b <= 0xEF)
    lead = {2, b & 0x0Fu, 0x80, 0xBF};
  else if (b == 0xF0)
    lead = {3, 0, 0x90, 0xBF};
  else if (b >= 0xF1 && b <= 0xF3)
    lead = {3, b & 0x07u, 0x80, 0xBF};
  else if (b == 0xF4)
    lead = {3, 4, 0x80, 0x8F};
  else
    return false;
  return true;
}

inline void appendUtf16(std::u16string& out, std::uint32_t cp) {
  if (cp < 0x10000) {
    out.push_back(char16_t(cp));
  } else {
    cp -= 0x10000;
    out.push_back(char16_t(0xD800 + (cp >> 10)));
    out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
  }
}

inline void appendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else if (cp < 0x800) {
    out.push_back(char(0xC0 | (cp >> 6)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(char(0xE0 | (cp >> 12)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (cp >> 18)));
    out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  }
}

// Length of the well-formed sequence at `i`, or 0 when it is ill-formed
// (then `*bad` is the length of its maximal subpart, at least 1).
inline std::size_t sequenceAt(std::string_view s, std::size_t i, std::uint32_t* cp,
                              std::size_t* bad) {
  const auto b = std::uint8_t(s[i]);
  if (b < 0x80) {
    *cp = b;
    return 1;
  }
  Lead lead;
  if (!leadOf(b, lead)) {
    *bad = 1;
    return 0;
  }
  std::uint32_t value = lead.value;
  std::size_t j = i + 1;
  std::uint8_t lo = lead.lo, hi = lead.hi;
  for (int k = 0; k < lead.trail; ++k, ++j) {
    if (j >= s.size()) break;
    const auto c = std::uint8_t(s[j]);
    if (c < lo || c > hi) break;
    value = (value << 6) | (c & 0x3Fu);
    lo = 0x80;
    hi = 0xBF;
  }
  if (j - i == std::size_t(lead.trail) + 1) {
    *cp = value;
    return j - i;
  }
  *bad = j - i;
  return 0;
}

}  // namespace detail

inline std::u16string utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    std::uint32_t cp = 0;
    std::size_t bad = 0;
    const std::size_t n = detail::sequenceAt(s, i, &cp, &bad);
    if (n) {
      detail::appendUtf16(out, cp);
      i += n;
    } else {
      out.push_back(detail::kReplacement);
      i += bad;
    }
  }
  return out;
}

inline std::string utf16ToUtf8(std::u16string_view t) {
  std::string out;
  out.reserve(t.size());
  for (std::size_t i = 0; i < t.size(); ++i) {
    std::uint32_t cp = t[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < t.size() && t[i + 1] >= 0xDC00 &&
        t[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (t[i + 1] - 0xDC00u);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = detail::kReplacement;
    }
    detail::appendUtf8(out, cp);
  }
  return out;
}

inline std::size_t utf8CutPoint(std::string_view s, std::size_t maxBytes) {
  if (s.size() <= maxBytes) return s.size();
  std::size_t cut = 0;
  for (std::size_t i = 0; i < s.size();) {
    std::uint32_t cp = 0;
    std::size_t bad = 0;
    std::size_t n = detail::sequenceAt(s, i, &cp, &bad);
    if (!n) n = bad;
    if (i + n > maxBytes) break;
    i += n;
    cut = i;
  }
  return cut;
}

}  // namespace base
