// Hex text: pairs read as strtol reads them, and hardware id text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HexText.h"

namespace protoprobe {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(HexTextTest, PairsReadAsStrtolReadsThem) {
  const struct {
    const char* text;
    Bytes bytes;
  } cases[] = {
      {"", {}},
      {"0a0b", {0x0a, 0x0b}},
      {"0a0b0", {0x0a, 0x0b, 0x00}},
      {"FFfe", {0xff, 0xfe}},
      {"0gzz7z", {0x00, 0x00, 0x07}},
      {"5", {0x05}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.bytes, hexToBytes(c.text)) << c.text;
}

TEST(HexTextTest, LongTextsKeepTheirPositions) {
  // Past 65535 characters a 16-bit position would wrap to the start.
  std::string text(70000, '1');
  text += "ab";
  const Bytes bytes = hexToBytes(text);
  ASSERT_EQ(35001u, bytes.size());
  EXPECT_EQ(0x11, bytes[0]);
  EXPECT_EQ(0xab, bytes.back());
}

TEST(HexTextTest, HwIdTextIsExactly32HexDigits) {
  EXPECT_TRUE(isHwIdText("000102030405060708090a0b0c0d0e0f"));
  EXPECT_TRUE(isHwIdText("000102030405060708090A0B0C0D0E0F"));
  EXPECT_FALSE(isHwIdText("000102030405060708090a0b0c0d0e0"));    // 31
  EXPECT_FALSE(isHwIdText("000102030405060708090a0b0c0d0e0f0"));  // 33
  EXPECT_FALSE(isHwIdText("000102030405060708090a0b0c0d0e0g"));
}

}  // namespace
}  // namespace protoprobe
