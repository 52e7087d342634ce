// The bounds-checked reader and writer: fields in little-endian order, and
// every read or write that does not fit fails without touching what lies
// beyond, once and for good.
#include <gtest/gtest.h>

#include "base/ByteReader.h"

namespace {

using base::ByteReader;
using base::ByteWriter;

TEST(ByteReader, ReadsLittleEndianFieldsUpToTheEnd) {
  const std::vector<uint8_t> bytes = {0x01, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12,
                                      0xFE, 0xFF, 'a',  'b',  0,    0x05};
  ByteReader in(bytes);
  EXPECT_EQ(in.u8(), 0x01);
  EXPECT_EQ(in.u16(), 0x1234);
  EXPECT_EQ(in.u32(), 0x12345678u);
  EXPECT_EQ(in.i16(), -2);
  std::string_view text;
  ASSERT_TRUE(in.cstring(&text, 31));
  EXPECT_EQ(text, "ab");
  EXPECT_EQ(in.remaining(), 1u);
  EXPECT_EQ(in.u8(), 5);
  EXPECT_TRUE(in.done());
}

TEST(ByteReader, AReadPastTheEndFailsForGood) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool (*read)(ByteReader&);
  };
  const std::vector<Case> cases = {
      {"u8 of nothing", {}, [](ByteReader& r) { return r.u8() == 0; }},
      {"u16 of one byte", {1}, [](ByteReader& r) { return r.u16() == 0; }},
      {"u32 of three", {1, 2, 3}, [](ByteReader& r) { return r.u32() == 0; }},
      {"u64 of seven", {1, 2, 3, 4, 5, 6, 7}, [](ByteReader& r) { return r.u64() == 0; }},
      {"bytes beyond",
       {1, 2},
       [](ByteReader& r) {
         uint8_t out[3] = {9, 9, 9};
         return !r.bytes(out, 3) && out[0] == 9;
       }},
      {"view beyond", {1}, [](ByteReader& r) { return r.view(2) == nullptr; }},
      {"text without terminator",
       {'a', 'b'},
       [](ByteReader& r) {
         std::string_view t;
         return !r.cstring(&t, 31);
       }},
      {"text longer than allowed",
       {'a', 'b', 'c', 0},
       [](ByteReader& r) {
         std::string_view t;
         return !r.cstring(&t, 2);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteReader in(c.bytes);
    EXPECT_TRUE(c.read(in));
    EXPECT_TRUE(in.failed());
    EXPECT_TRUE(in.atEnd());
    EXPECT_FALSE(in.done());
    // Sticky: nothing more is read, even what would fit.
    EXPECT_EQ(in.u8(), 0);
    EXPECT_TRUE(in.failed());
  }
}

TEST(ByteReader, ATextOfExactlyTheLimitIsTaken) {
  const std::vector<uint8_t> bytes = {'a', 'b', 'c', 0};
  ByteReader in(bytes);
  std::string_view t;
  ASSERT_TRUE(in.cstring(&t, 3));
  EXPECT_EQ(t, "abc");
  EXPECT_TRUE(in.done());
}

TEST(ByteReader, ATextWithoutALimitRunsToItsTerminator) {
  const std::vector<uint8_t> bytes = {'a', 'b', 0, 'c'};
  ByteReader in(bytes);
  std::string_view t;
  ASSERT_TRUE(in.cstring(&t, ByteReader::kNoLimit));
  EXPECT_EQ(t, "ab");
  EXPECT_FALSE(in.cstring(&t, ByteReader::kNoLimit));  // "c" has no terminator
  EXPECT_TRUE(in.failed());
}

TEST(ByteReader, FieldsOfAnyWidthUpToEightBytes) {
  const std::vector<uint8_t> bytes = {0x11, 0x22, 0x33, 0x00, 0x00, 0x80, 0x3F, 0xAA};
  ByteReader in(bytes);
  EXPECT_EQ(in.uN(0), 0u);
  EXPECT_EQ(in.uN(3), 0x332211u);
  EXPECT_EQ(in.f32(), 1.0f);
  EXPECT_EQ(in.remaining(), 1u);

  const std::vector<uint8_t> nine(9, 1);
  ByteReader wide(nine);
  EXPECT_EQ(wide.uN(9), 0u);  // no field is wider than 64 bits
  EXPECT_TRUE(wide.failed());
}

TEST(ByteWriter, WritesLittleEndianAndStopsAtItsLimit) {
  ByteWriter out;
  out.u8(2).cstring("root").i16(-2).u32(0x01020304);
  EXPECT_EQ(out.data(), (std::vector<uint8_t>{2, 'r', 'o', 'o', 't', 0, 0xFE, 0xFF, 4, 3, 2, 1}));
  EXPECT_FALSE(out.failed());

  ByteWriter padded;
  padded.u8(7).zeros(3).f32(1.0f);
  EXPECT_EQ(padded.data(), (std::vector<uint8_t>{7, 0, 0, 0, 0x00, 0x00, 0x80, 0x3F}));

  ByteWriter small(3);
  small.u16(0xAABB).u16(0xCCDD).u8(1);
  EXPECT_TRUE(small.failed());
  EXPECT_EQ(small.data(), (std::vector<uint8_t>{0xBB, 0xAA}));  // nothing of what did not fit
}

}  // namespace
