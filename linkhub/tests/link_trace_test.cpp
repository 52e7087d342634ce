// Link frames as the frames trace shows them: the fields read from the right
// bits, and odd or short frames described without reading past their end
// (each case gets a buffer of exactly its size, so a stray read shows under
// AddressSanitizer).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "LinkTrace.h"

using linkhub::describeLinkFrame;

namespace {

std::string describe(const std::vector<uint8_t>& frame) {
  auto exact = std::make_unique<uint8_t[]>(frame.size());
  std::copy(frame.begin(), frame.end(), exact.get());
  return describeLinkFrame(exact.get(), frame.size());
}

TEST(LinkTrace, FramesInWords) {
  std::vector<uint8_t> identity = {0xC7};
  for (int i = 0; i < 16; ++i) identity.push_back(uint8_t(0xA0 + i));
  struct Case {
    std::vector<uint8_t> frame;
    const char* text;
  } cases[] = {
      {{}, "(empty)"},
      {{0x8F}, "U 0x8F reset request"},
      {{0x9F}, "U 0x8F reset request"},  // P/F is not part of the code
      {{0x63}, "U 0x63 reset answer"},
      {{0xAF}, "U 0xAF parameter request"},
      {{0xCF, 0xFF, 0x00, 0x0F, 0x00}, "U 0xCF parameter answer: max frame 255, 15 channels"},
      {{0xCF, 0xD0, 0xFF, 0xF4, 0xFF}, "U 0xCF parameter answer: max frame 976, 4 channels"},
      {{0xCF, 0x01, 0x02}, "U 0xCF parameter answer + 2 bytes: 01 02"},
      {identity, "U 0xC7 identity answer: A0A1A2A3A4A5A6A7A8A9AAABACADAEAF"},
      {{0xC7, 0x01}, "U 0xC7 identity answer + 1 bytes: 01"},
      {{0xA7}, "U 0xA7 identity request"},
      {{0x33, 0x44}, "U 0x23 (unknown) + 1 bytes: 44"},
      {{0x01}, "S ready N(R)=0"},
      {{0x05 | 0x10 | (3 << 5)}, "S reject N(R)=3 P/F"},
      {{0x09 | (7 << 5)}, "S busy N(R)=7"},
      {{0x0D}, "S type 3 N(R)=0"},
      {{0x01, 0x00}, "S ready N(R)=0 (2 bytes: ignored)"},
      {{0x00}, "I N(S)=0 N(R)=0 (no channel byte)"},
      {{uint8_t((5 << 1) | 0x10 | (2 << 5)), 0x03}, "I N(S)=5 N(R)=2 P/F ch 3 close"},
      {{0x02, 0x12}, "I N(S)=1 N(R)=0 ch 2 last"},
      {{0x00, 0x20}, "I N(S)=0 N(R)=0 ch 0 first (no pid)"},
      {{0x00, 0x31, 0x7F, 0xAA, 0xBB}, "I N(S)=0 N(R)=0 ch 1 first pid 127 last: 2 bytes aa bb"},
      {{0x0E, 0x05, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
       "I N(S)=7 N(R)=0 ch 5: 10 bytes 01 02 03 04 05 06 07 08 ... (+2)"},
      {{0x00, 0x4F, 0x01}, "I N(S)=0 N(R)=0 ch 15 (bad channel byte 0x4F): 1 bytes 01"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.text, describe(c.frame));
}

}  // namespace
