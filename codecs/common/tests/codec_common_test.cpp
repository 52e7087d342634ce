#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codeccommon/CodecError.h"
#include "codeccommon/Crc32Variant.h"
#include "codeccommon/XmlInput.h"
#include "codeccommon/XmlText.h"
#include "plat/memory.h"

using namespace codec;

// Reference table entry computed here by the documented rule (sign-propagating
// shift), independently of the constant table in the library.
static uint32_t ruleEntry(uint32_t v) {
  for (int k = 0; k < 8; ++k) {
    bool low = v & 1;
    v = (v >> 1) | (v & 0x80000000u);
    if (low) v ^= 0xEDB88320u;
  }
  return v;
}

TEST(Crc32Variant, TableFollowsTheArithmeticShiftRule) {
  int differFromStandard = 0;
  for (int i = 0; i < 256; ++i) {
    uint32_t standard = uint32_t(i);
    for (int k = 0; k < 8; ++k) standard = (standard >> 1) ^ ((standard & 1) ? 0xEDB88320u : 0);
    uint32_t entry = crc32VariantTableEntry(uint8_t(i));
    ASSERT_EQ(entry, ruleEntry(uint32_t(i))) << i;
    if (entry != standard) {
      ++differFromStandard;
      EXPECT_EQ(entry & 0x00FFFFFFu, standard & 0x00FFFFFFu) << "only the top byte differs, " << i;
    }
  }
  EXPECT_EQ(differFromStandard, 254);
  EXPECT_EQ(crc32VariantTableEntry(0), 0x00000000u);
  EXPECT_EQ(crc32VariantTableEntry(1), 0x09073096u);
  EXPECT_EQ(crc32VariantTableEntry(2), 0x120E612Cu);
  EXPECT_EQ(crc32VariantTableEntry(128), 0xEDB88320u);
  EXPECT_EQ(crc32VariantTableEntry(255), 0x0702EF8Du);
}

TEST(Crc32Variant, KnownValues) {
  struct Case {
    uint32_t seed;
    const char* text;
    uint32_t expected;
  } cases[] = {
      {0xDEADBEEFu, "123456789", 0x19C3FAD7u}, {0x16041604u, "123456789", 0x18593B08u},
      {0x00000000u, "123456789", 0xEE37352Du}, {0xDEADBEEFu, "abc", 0xE228A7F0u},
      {0x12345678u, "", 0x12345678u},
  };
  for (const auto& c : cases)
    EXPECT_EQ(crc32Variant(c.seed, c.text, std::strlen(c.text)), c.expected) << c.text;
}

TEST(Crc32Variant, ContinuesFromAPreviousResult) {
  uint32_t part = crc32Variant(kCalibrationSeed, "1234", 4);
  EXPECT_EQ(crc32Variant(part, "56789", 5), 0x19C3FAD7u);
}

TEST(XmlText, Escaping) {
  std::string t, a, all;
  appendEscapedText(t, "a&b<c>d\"e'f");
  appendEscapedAttribute(a, "a&b<c>d\"e'f");
  appendEscapedAll(all, "a&b<c>d\"e'f");
  EXPECT_EQ(t, "a&amp;b&lt;c&gt;d\"e'f");
  EXPECT_EQ(a, "a&amp;b&lt;c&gt;d&quot;e'f");
  EXPECT_EQ(all, "a&amp;b&lt;c&gt;d&quot;e&apos;f");
  // A CDATA end in a text must not close markup of the document.
  std::string cdataEnd;
  appendEscapedText(cdataEnd, "x]]>y");
  EXPECT_EQ(cdataEnd, "x]]&gt;y");
}

TEST(XmlText, Hex) {
  const uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff};
  EXPECT_EQ(toHex(bytes, 4), "000fa5ff");
  std::string back;
  ASSERT_TRUE(parseHex("000FA5ff", back));
  EXPECT_EQ(back, std::string("\x00\x0f\xa5\xff", 4));
  EXPECT_FALSE(parseHex("abc", back));
  EXPECT_FALSE(parseHex("zz", back));
}

TEST(XmlText, FloatsSurviveARoundTrip) {
  struct Case {
    float value;
    const char* text;
  } cases[] = {
      {0.0f, "0"},
      {1.5f, "1.5"},
      {-2.0f, "-2"},
      {100000.0f, "100000"},
      {1e6f, "1e+06"},
      {0.1f, "0.1"},
      {1.0e-5f, "1e-05"},
      {123456.7f, "123456.703"},
      {16777215.0f, "16777215"},
      {3.14159274f, "3.14159274"},
  };
  for (const auto& c : cases) EXPECT_EQ(formatFloat(c.value), c.text) << c.value;
  // Every float of a sweep reads back to itself.
  for (uint32_t bits = 0x00800000u; bits < 0x7f000000u; bits += 0x00012345u) {
    float v;
    std::memcpy(&v, &bits, 4);
    float back = 0;
    ASSERT_TRUE(parseFloat(formatFloat(v), &back));
    ASSERT_EQ(back, v) << formatFloat(v);
  }
}

TEST(XmlText, NumbersIgnoreTheProcessLocale) {
  // A locale with a decimal comma, when the machine has one.
  const char* old = std::setlocale(LC_ALL, nullptr);
  std::string saved = old ? old : "C";
  bool switched = false;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
    if (std::setlocale(LC_ALL, name) && std::string(std::localeconv()->decimal_point) == ",") {
      switched = true;
      break;
    }
  }
  if (!switched) {
    std::setlocale(LC_ALL, saved.c_str());
    GTEST_SKIP() << "no decimal-comma locale installed";
  }
  float f = 0;
  EXPECT_TRUE(parseFloat("2.5", &f));
  EXPECT_EQ(f, 2.5f);
  EXPECT_EQ(formatFloat(2.5f), "2.5");
  EXPECT_EQ(formatDouble(1234567.0), "1.23457e+06");
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(XmlText, ParseLikeStrtof) {
  struct Case {
    const char* text;
    bool ok;
    float value;
    size_t end;
  } cases[] = {
      {"  12.5xyz", true, 12.5f, 6}, {"+3", true, 3.0f, 2},     {"-0.25", true, -0.25f, 5},
      {"0x10", true, 16.0f, 4},      {"abc", false, 0, 0},      {"", false, 0, 0},
      {"1e3", true, 1000.0f, 3},     {"12abc", true, 12.0f, 2},
  };
  for (const auto& c : cases) {
    float v = -1;
    size_t end = 99;
    EXPECT_EQ(parseFloat(c.text, &v, &end), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
      EXPECT_EQ(end, c.end) << c.text;
    }
  }
  float v;
  bool overflow = false;
  ASSERT_TRUE(parseFloat("1e40", &v, nullptr, &overflow));
  EXPECT_TRUE(overflow);
  EXPECT_TRUE(std::isinf(v));
}

TEST(CodecError, GuardTurnsFailuresIntoText) {
  std::string last;
  EXPECT_TRUE(guardExport(last, [] {}));
  EXPECT_FALSE(guardExport(last, [] { fail("Out of range in x"); }));
  EXPECT_EQ(last, "Out of range in x");
  EXPECT_FALSE(guardExport(last, [] { XmlInput bad("<a><b></a>", 10); }));
  EXPECT_EQ(last, "Exception error");
  EXPECT_FALSE(guardExport(last, [] { throw 42; }));
  EXPECT_EQ(last, "Exception error");
}

// Results of every size, with and without their pages made present first:
// each byte writable to its last, read back as written, and free()-able.
TEST(CodecError, ResultBlocksHoldEveryByteOfTheirSize) {
  const size_t sizes[] = {
      0, 1, 4096, (size_t(8) << 20) - 1, size_t(8) << 20, (size_t(97) << 20) + 4093};
  for (const char* prefault : {"1", "0"}) {
    setenv("VLN_CODEC_PREFAULT", prefault, 1);
    for (size_t size : sizes) {
      SCOPED_TRACE(std::to_string(size) + " bytes, prefault " + prefault);
      auto* block = static_cast<uint8_t*>(mallocResult(size));
      ASSERT_NE(block, nullptr);
      for (size_t i = 0; i < size; ++i) block[i] = uint8_t(i * 7 + 1);
      size_t wrong = 0;
      for (size_t i = 0; i < size; ++i) wrong += block[i] != uint8_t(i * 7 + 1);
      EXPECT_EQ(wrong, 0u);
      std::free(block);
    }
  }
  unsetenv("VLN_CODEC_PREFAULT");
}

// Huge pages are asked for on a result of 32 MiB or more, on its aligned
// interior, and not with VLN_CODEC_PREFAULT=0 (the page-by-page baseline).
TEST(CodecError, LargeResultsAskForHugePagesUnlessPrefaultIsOff) {
  const std::string enabled = plat::hugePageModes().enabled;
  if (enabled.empty() || enabled == "never") GTEST_SKIP() << "no transparent huge pages here";
  const size_t huge = plat::hugePageBytes();
  struct Case {
    const char* prefault;  // null: unset
    size_t size;
    bool advised;
  };
  const Case cases[] = {
      {nullptr, size_t(64) << 20, true},
      {"1", (size_t(32) << 20) + 5, true},
      {"0", size_t(64) << 20, false},
      {nullptr, size_t(16) << 20, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes, prefault " +
                 (c.prefault ? c.prefault : "unset"));
    if (c.prefault)
      setenv("VLN_CODEC_PREFAULT", c.prefault, 1);
    else
      unsetenv("VLN_CODEC_PREFAULT");
    auto* block = static_cast<char*>(mallocResult(c.size));
    ASSERT_NE(block, nullptr);
    const uintptr_t at = reinterpret_cast<uintptr_t>(block);
    const uintptr_t interior = (at + huge - 1) & ~uintptr_t(huge - 1);
    EXPECT_EQ(plat::hugePagesAdvised(reinterpret_cast<void*>(interior)), c.advised);
    EXPECT_EQ(plat::hugePagesAdvised(reinterpret_cast<void*>(at + c.size - huge - 1)), c.advised);
    std::free(block);
  }
  unsetenv("VLN_CODEC_PREFAULT");
}

TEST(XmlInput, StopsAtTheFirstZeroAndNeverReadsPastTheCount) {
  // Exactly-sized heap copies so a read past the end shows under AddressSanitizer.
  const std::string texts[] = {"<r a=\"1\">x&amp;y</r>", std::string("<r>z</r>\0garbage", 16)};
  for (const auto& t : texts) {
    char* exact = static_cast<char*>(std::malloc(t.size()));
    std::memcpy(exact, t.data(), t.size());
    XmlInput in(exact, uint32_t(t.size()));
    std::free(exact);
    auto* r = in.root("r");
    ASSERT_NE(r, nullptr);
    EXPECT_FALSE(text(r).empty());
  }
  XmlInput in("<r a=\"1\">x&amp;y</r>", 20);
  EXPECT_EQ(text(in.root("r")), "x&y");
  EXPECT_EQ(text(attribute(in.root("r"), "a")), "1");
  EXPECT_EQ(in.root("missing"), nullptr);
  XmlInput empty(nullptr, 0);
  EXPECT_EQ(empty.root("r"), nullptr);
}

TEST(XmlInput, RefusesNestingDeepEnoughToExhaustTheStack) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  std::string last;
  EXPECT_FALSE(guardExport(last, [&] { XmlInput in(deep.data(), uint32_t(deep.size())); }));
  EXPECT_EQ(last, "Exception error");
  // Ordinary depth, comments and CDATA holding '<' and self-closed elements pass.
  std::string fine = "<r><!-- <x><y> --><![CDATA[<z><z>]]>";
  for (int i = 0; i < 200; ++i) fine += "<b/><c k=\"v\">";
  for (int i = 0; i < 200; ++i) fine += "</c>";
  fine += "</r>";
  EXPECT_TRUE(guardExport(last, [&] { XmlInput in(fine.data(), uint32_t(fine.size())); }));
}

namespace {

bool parses(const std::string& doc) {
  std::string last;
  return guardExport(last, [&] { XmlInput in(doc.data(), uint32_t(doc.size())); });
}

std::string repeated(const std::string& piece, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += piece;
  return s;
}

}  // namespace

// Markup the parser reads as no element (quoted attribute values, processing
// instructions, the document type, other "<!" markup, comments, CDATA) must
// neither hide a real level nor count as one.
TEST(XmlInput, NestingIsCountedAsTheParserReadsTheDocument) {
  const int tooDeep = kMaxXmlDepth + 1;
  const struct {
    const char* what;
    const char* level;  // one real level holding markup that looks like a close
  } hiding[] = {
      {"self-close in a double-quoted value", "<a x=\"/>\">"},
      {"self-close in a single-quoted value", "<a x='/>'>"},
      {"closing tag in a value", "<a x=\"></x>\">"},
      {"closing tag after a value with spaces", "<a  x = '>'  y=\"</a>\" >"},
      {"closing tag in a processing instruction", "<a><?p </a>?>"},
      {"closing tag in a document type", "<a><!DOCTYPE d [<!ENTITY e \"</a>\">]>"},
      {"closing tag in other markup", "<a><!x </a>>"},
      {"closing tag in a comment", "<a><!-- </a> -->"},
      {"closing tag in CDATA", "<a><![CDATA[</a>]]>"},
  };
  for (const auto& c : hiding) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(parses(repeated(c.level, kMaxXmlDepth) + repeated("</a>", kMaxXmlDepth)));
    EXPECT_FALSE(parses(repeated(c.level, tooDeep) + repeated("</a>", tooDeep)));
  }

  const struct {
    const char* what;
    const char* before;
    const char* fake;  // looks like an opening tag, repeated past the limit
    const char* after;
  } counting[] = {
      {"in an attribute value", "<r x=\"", "<a>", "\"/>"},
      {"in a single-quoted value", "<r x='", "<a x=\"1\">", "'></r>"},
      {"in a processing instruction", "<r><?p ", "<a>", "?></r>"},
      {"in the declaration", "<?xml version=\"1.0\" ", "<a>", "?><r/>"},
      {"in a document type", "<!DOCTYPE r [", "<a>", "]><r/>"},
      {"in a comment", "<r><!--", "<a>", "--></r>"},
      {"in CDATA", "<r><![CDATA[", "<a>", "]]></r>"},
  };
  for (const auto& c : counting) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(parses(c.before + repeated(c.fake, 2 * tooDeep) + c.after));
  }
  // A byte order mark does not hide the document from the count.
  EXPECT_FALSE(parses("\xEF\xBB\xBF" + repeated("<a>", tooDeep) + repeated("</a>", tooDeep)));
}
