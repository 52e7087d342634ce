// System texts: every code the platform layer and the RPC report has one.
#include <gtest/gtest.h>

#include "plat/sysmsg.h"

namespace plat {
namespace {

TEST(SystemMessage, EveryCodeTheLayersReportHasItsText) {
  // lastSystemError's codes, the registry's, the pipes', the loader's and the RPC's.
  const uint32_t codes[] = {0,   2,   3,   4,   5,   6,   8,   13,  19,   31,   87,   109,  112,
                            123, 126, 127, 183, 206, 231, 233, 234, 258,  259,  1450, 1630, 1717,
                            1722, 1723, 1726, 1740, 1745, 1783, 1921};
  for (uint32_t code : codes) {
    std::string text;
    ASSERT_TRUE(lookupSystemMessage(code, &text)) << code;
    EXPECT_EQ('.', text.back()) << code;  // whole sentences, no line break
    EXPECT_EQ(text, systemMessage(code));
  }
  EXPECT_EQ("The system cannot find the file specified.", systemMessage(2));
  EXPECT_EQ("The RPC server is unavailable.", systemMessage(1722));
}

TEST(SystemMessage, UnknownCodeHasNoTextOfItsOwn) {
  std::string text = "kept";
  EXPECT_FALSE(lookupSystemMessage(424242, &text));
  EXPECT_EQ("kept", text);
  EXPECT_EQ("Unknown error 424242", systemMessage(424242));
}

}  // namespace
}  // namespace plat
