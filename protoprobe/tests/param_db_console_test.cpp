// The ParamDB console's event lines and its index text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ParamDbConsole.h"
#include "pardbproto/pardbproto.h"

namespace protoprobe {
namespace {

TEST(ParamDbConsoleTest, EventTexts) {
  const uint8_t signature[16] = {1, 160, 255, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const uint8_t value[3] = {0x0a, 0x0b, 0xff};
  const ProtParDBReadResult read{0x0010, {}, value, 3};
  const ProtParDBReadResult empty{0xbeef, {}, nullptr, 0};
  std::vector<uint8_t> big(0x12345, 0x5a);
  const ProtParDBReadResult large{1, {}, big.data(), big.size()};
  const ProtParDBWriteResult written{0x0010, {}, 1}, failed{0xffff, {}, 2}, wide{1, {}, 0x123};
  const uint32_t stored = 1, storeFailed = 2;
  const struct {
    uint64_t event;
    const void* data;
    uint64_t length;
    std::string line;
    bool known;
  } cases[] = {
      {0, nullptr, 3, "DIS (3)", true},
      {1, nullptr, 0, "CON", true},
      {2, signature, 16, "SIG: 01 a0 ff 00 01 02 03 04 05 06 07 08 09 0a 0b 0c ", true},
      {2, signature, 15, "SIG: Invalid lenght: 15", true},
      {3, &stored, 4, "STO: 1", true},
      {3, &storeFailed, 4, "STO: 2", true},
      {3, &stored, 3, "STO: Invalid lenght: 3", true},
      {4, &read, 24, "RD :  idx=0x0010, sz=0x0003, dat=0a 0b ff ", true},
      {4, &empty, 24, "RD :  idx=0xbeef, sz=0x0000, dat=", true},
      {4, &read, 16, "RD : Invalid lenght: 16", true},
      {5, &written, 8, "WR :  idx=0x0010, res=0x01", true},
      {5, &failed, 8, "WR :  idx=0xffff, res=0x02", true},
      {5, &wide, 8, "WR :  idx=0x0001, res=0x123", true},
      {5, &written, 24, "WR : Invalid lenght: 24", true},
      {6, nullptr, 0, "Unknown event ID: 6", false},
  };
  for (const auto& c : cases) {
    bool known = !c.known;
    EXPECT_EQ(c.line, parDbEventText(c.event, c.data, c.length, &known)) << c.event;
    EXPECT_EQ(c.known, known) << c.event;
  }
  bool known = false;
  EXPECT_EQ(
      0u,
      parDbEventText(4, &large, 24, &known).rfind("RD :  idx=0x0001, sz=0x12345, dat=5a 5a ", 0));
}

TEST(ParamDbConsoleTest, IndexText) {
  const struct {
    const char* text;
    bool ok;
    uint16_t index;
  } cases[] = {
      {"000b", true, 11},     {"00b", true, 11},      {"0010", true, 16},
      {"FFFF", true, 0xffff}, {"1234", true, 0x1234}, {"b", false, 0},
      {"0b", false, 0},       {"12345", false, 0},    {"", false, 0},
  };
  for (const auto& c : cases) {
    uint16_t index = 0xaaaa;
    EXPECT_EQ(c.ok, parseParamIndex(c.text, &index)) << c.text;
    if (c.ok) {
      EXPECT_EQ(c.index, index) << c.text;
    }
  }
}

}  // namespace
}  // namespace protoprobe
