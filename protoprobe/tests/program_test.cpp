// The program's mode selection from its command line.
#include "Program.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace protoprobe {
namespace {

TEST(CommandLineTest, ModeSelection) {
  const struct {
    std::vector<std::string> args;
    Mode mode;
  } cases[] = {
      {{"p"}, Mode::kNone},
      {{"p", "L"}, Mode::kList},
      {{"p", "list"}, Mode::kList},
      {{"p", "L", "x"}, Mode::kNone},
      {{"p", "h", "X", "1", "2", "3"}, Mode::kBenchX},
      {{"p", "h", "xray", "1", "2", "3"}, Mode::kBenchX},
      {{"p", "h", "X", "1", "2"}, Mode::kNone},
      {{"p", "h", "D", "1", "2"}, Mode::kBenchD},
      {{"p", "h", "u", "1", "2"}, Mode::kBenchU},
      {{"p", "h", "U", "1", "2", "3"}, Mode::kNone},
      {{"p", "h", "C"}, Mode::kNone},
      {{"p", "h", "C", "1"}, Mode::kRawConsole},
      {{"p", "h", "c", "1", "extra", "words"}, Mode::kRawConsole},
      {{"p", "h", "N"}, Mode::kNamedConsole},
      {{"p", "h", "N", "ParamDB", "help"}, Mode::kNamedConsole},
      {{"p", "h", "", "1"}, Mode::kNone},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    EXPECT_EQ(int(c.mode), int(selectMode(c.args).mode)) << line;
  }
  EXPECT_EQ(44, selectMode({"p", "h", "C", "300"}).protocolId);
  const Invocation named = selectMode({"p", "h", "N", "Status", "a", "b"});
  EXPECT_EQ("Status", named.consoleName);
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), named.consoleArgs);
  const Invocation bench = selectMode({"p", "h", "X", "1000", "100", "junk"});
  EXPECT_EQ(1000, bench.total);
  EXPECT_EQ(100, bench.packet);
  EXPECT_EQ(0, bench.span);
}

}  // namespace
}  // namespace protoprobe
