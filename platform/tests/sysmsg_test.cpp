// System texts: every code the platform layer and the RPC report has one.
#include "plat/sysmsg.h"

#include <gtest/gtest.h>

#include <set>

#include "plat/errors.h"

namespace plat {
namespace {

TEST(SystemMessage, EveryCodeTheLayersReportHasItsText) {
  // lastSystemError's codes, the registry's, the pipes', the loader's and the RPC's.
  const uint32_t codes[] = {0,   2,    3,    4,    5,    6,    8,    13,   19,   31,   87,
                            109, 112,  123,  126,  127,  183,  206,  231,  233,  234,  258,
                            259, 1450, 1630, 1717, 1722, 1723, 1726, 1740, 1745, 1783, 1921};
  for (uint32_t code : codes) {
    std::string text;
    ASSERT_TRUE(lookupSystemMessage(code, &text)) << code;
    EXPECT_EQ('.', text.back()) << code;  // whole sentences, no line break
    EXPECT_EQ(text, systemMessage(code));
  }
  EXPECT_EQ("The system cannot find the file specified.", systemMessage(2));
  EXPECT_EQ("The RPC server is unavailable.", systemMessage(1722));
}

TEST(SystemMessage, TheCodeListHoldsEachCodeOnceWithItsOwnText) {
  // A code listed twice would hide its second text; each entry's text is the
  // one systemMessage gives for its number.
  std::set<uint32_t> seen;
  struct Entry {
    uint32_t code;
    const char* text;
  };
#define ENTRY(name, code, text) Entry{uint32_t(code), text},
  const Entry entries[] = {PLAT_WIN32_ERRORS(ENTRY) PLAT_RPC_STATUSES(ENTRY)};
#undef ENTRY
  for (const Entry& e : entries) {
    EXPECT_TRUE(seen.insert(e.code).second) << "listed twice: " << e.code;
    EXPECT_EQ(systemMessage(e.code), e.text) << e.code;
  }
  // The names keep their Win32 numbers.
  const std::pair<uint32_t, uint32_t> named[] = {
      {uint32_t(kErrorFileNotFound), 2},
      {uint32_t(kErrorInvalidParameter), 87},
      {uint32_t(kErrorAlreadyExists), 183},
      {uint32_t(kErrorFilenameTooLong), 206},
      {uint32_t(kErrorMoreData), 234},
      {uint32_t(kErrorConnectionAborted), 1236},
      {uint32_t(kErrorNoSystemResources), 1450},
      {kRpcServerUnavailable, 1722},
      {kRpcAccessDenied, 5},
      {kRpcInvalidArgument, 87},
      {kRpcBadStubData, 1783},
  };
  for (const auto& [constant, number] : named) EXPECT_EQ(constant, number);
}

TEST(SystemMessage, UnknownCodeHasNoTextOfItsOwn) {
  std::string text = "kept";
  EXPECT_FALSE(lookupSystemMessage(424242, &text));
  EXPECT_EQ("kept", text);
  EXPECT_EQ("Unknown error 424242", systemMessage(424242));
}

}  // namespace
}  // namespace plat
