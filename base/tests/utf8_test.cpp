// The UTF-8 codec: the decoder takes device and file texts, so every
// ill-formed input has one well-defined result.
#include "base/Utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using base::utf16ToUtf8;
using base::utf8CutPoint;
using base::utf8ToUtf16;

struct DecodeCase {
  const char* name;
  std::string bytes;
  std::u16string text;
};

// Each maximal ill-formed subsequence is one U+FFFD (the Unicode practice):
// a lead byte with the valid part of its continuation is one, a byte that
// can start nothing is one by itself.
TEST(Utf8Decode, WellFormedAndIllFormedInput) {
  const DecodeCase cases[] = {
      {"ascii", "abc", u"abc"},
      {"two, three and four bytes", "\xC3\xAB\xE2\x82\xAC\xF0\x9F\x98\x80",
       u"\u00eb\u20ac\U0001F600"},
      {"embedded zero is a character", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
      {"lone continuation", "\x80x", u"\ufffdx"},
      {"byte that starts nothing", "\xFF\xFE", u"\ufffd\ufffd"},
      {"overlong two-byte lead", "\xC0\xAF", u"\ufffd\ufffd"},
      {"overlong three-byte", "\xE0\x80\xAF", u"\ufffd\ufffd\ufffd"},
      {"surrogate encoded", "\xED\xA0\x80", u"\ufffd\ufffd\ufffd"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", u"\ufffd\ufffd\ufffd\ufffd"},
      {"truncated three-byte is one", "\xE2\x82", u"\ufffd"},
      {"truncated four-byte is one", "\xF0\x9F\x98", u"\ufffd"},
      {"truncated then ascii",
       "\xF0\x9F\x98"
       "A",
       u"\ufffdA"},
      {"truncated then new lead", "\xE2\x82\xC3\xAB", u"\ufffd\u00eb"},
      {"largest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, utf8ToUtf16(c.bytes)) << c.name;
}

TEST(Utf8Encode, PairsAndLoneSurrogates) {
  EXPECT_EQ("Zo\xC3\xAB \xF0\x9F\x98\x80", utf16ToUtf8(u"Zo\u00eb \U0001F600"));
  EXPECT_EQ("\xEF\xBF\xBDx", utf16ToUtf8(std::u16string(u"\xD800x")));
  EXPECT_EQ("x\xEF\xBF\xBD", utf16ToUtf8(std::u16string(u"x\xDC00")));
  EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD", utf16ToUtf8(std::u16string(u"\xDC00\xD800")))
      << "reversed pair";
  EXPECT_EQ(std::string("a\0b", 3), utf16ToUtf8(std::u16string(u"a\0b", 3)));
}

TEST(Utf8Cut, NeverInsideACharacter) {
  const std::string text = "a\xC3\xAB\xF0\x9F\x98\x80z";  // 1 + 2 + 4 + 1 bytes
  const std::size_t expected[] = {0, 1, 1, 3, 3, 3, 3, 7, 8, 8};
  for (std::size_t max = 0; max < std::size(expected); ++max)
    EXPECT_EQ(expected[max], utf8CutPoint(text, max)) << "at most " << max;
  EXPECT_EQ(63u, utf8CutPoint(std::string(100, 'x'), 63));
  // An ill-formed byte is a unit of its own: the cut may fall after it.
  EXPECT_EQ(2u, utf8CutPoint("\xFF\xFF\xFF", 2));
}

TEST(Utf8RoundTrip, EveryScalarValue) {
  std::u16string all;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    if (cp < 0x10000) {
      all.push_back(char16_t(cp));
    } else {
      all.push_back(char16_t(0xD800 + ((cp - 0x10000) >> 10)));
      all.push_back(char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  EXPECT_EQ(all, utf8ToUtf16(utf16ToUtf8(all)));
}

}  // namespace
