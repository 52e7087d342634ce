// The named console table, the scope result texts and the stamped lines.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "ProtocolConsoles.h"

using translayer::HwId;

namespace protoprobe {
namespace {

TEST(ProtocolConsolesTest, TableLookupAndResultTexts) {
  std::ostringstream out;
  EXPECT_EQ(-1, runProtocolConsole("paramdb", HwId{}, {}, out));
  EXPECT_EQ("\nAvailable protocols:\n  ParamDB\n  FileServer\n  Status\n  DigScope\n", out.str());
  EXPECT_EQ("(rcNoError) Successful/No error", scopeResultText(0));
  EXPECT_EQ("(rcChannelNotFound) Channel not found on capture channels list", scopeResultText(16));
  EXPECT_EQ("(rcBrokenLink) Broken link", scopeResultText(1024));
  EXPECT_EQ("", scopeResultText(17));
  EXPECT_EQ("", scopeResultText(-1));
}

TEST(ProtocolConsolesTest, StampsLeaveNoStreamStateBehind) {
  using std::chrono::milliseconds;
  EXPECT_EQ("0001234ms ", StampedPrinter::stamp(milliseconds(1234)));
  EXPECT_EQ("0000000ms ", StampedPrinter::stamp(std::chrono::nanoseconds(999999)));
  EXPECT_EQ("12345678ms ", StampedPrinter::stamp(milliseconds(12345678)));
  std::ostringstream out;
  StampedPrinter printer(out);
  printer.print("< CON");
  out << 7;
  const std::string text = out.str();
  EXPECT_EQ("ms < CON\n7", text.substr(7));
}

}  // namespace
}  // namespace protoprobe
