// The Status console's event lines.
#include <gtest/gtest.h>

#include <string>

#include "StatusConsole.h"
#include "statproto/statproto.h"

namespace protoprobe {
namespace {

TEST(StatusConsoleTest, EventTexts) {
  const uint8_t signature[16] = {1, 160, 255, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const uint16_t values[] = {0x1, 0xbeef, 0};
  const ProtStatusList list{3, {}, values};
  const ProtStatusList empty{0, {}, nullptr};
  const ProtStatusText text{"Fan \"2\" %s"};
  const struct {
    uint64_t event;
    const void* data;
    uint64_t length;
    std::string line;
    bool known;
  } cases[] = {
      {0, nullptr, 2, "DIS (2)", true},
      {1, nullptr, 0, "CON", true},
      {2, signature, 16, "SIG: 01 a0 ff 00 01 02 03 04 05 06 07 08 09 0a 0b 0c ", true},
      {2, signature, 15, "SIG: Invalid lenght: 15", true},
      {3, &list, 16, "EV : 0001, beef, 0000", true},
      {4, &list, 16, "PS : 0001, beef, 0000", true},
      {4, &empty, 16, "PS : ", true},
      {3, &list, 8, "Invalid lenght: 8", true},
      {5, &text, 8, "SY : Fan \"2\" %s", true},
      {5, &text, 16, "Invalid lenght: 16", true},
      {9, nullptr, 0, "Unknown event ID: 9", false},
  };
  for (const auto& c : cases) {
    bool known = !c.known;
    EXPECT_EQ(c.line, statusEventText(c.event, c.data, c.length, &known)) << c.event;
    EXPECT_EQ(c.known, known) << c.event;
  }
}

}  // namespace
}  // namespace protoprobe
