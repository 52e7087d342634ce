// Built four times, each program carrying a different version block; each
// checks the banners it prints from its own file.
#include "toolsupport/Banner.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

struct Expected {
  const char* tools;         // printBanner()
  const char* consoleFull;   // printBanner(true)
  const char* consoleShort;  // printBanner(false)
};

#if defined(BANNER_CASE_VERSIONED)
constexpr Expected kExpected = {"\nBanner Probe\nVersion 2.3.4.5\nCopyright (C) Probe & Sons\n\n",
                                "Banner Probe\nVersion 2.3.4.5\nCopyright (C) Probe & Sons\n",
                                "Banner Probe\n"};
#elif defined(BANNER_CASE_PARTIAL)
// The version is only in another language's block: its line alone is skipped.
constexpr Expected kExpected = {"\nHalf Probe\nCopyright (C) Half\n\n",
                                "Half Probe\nCopyright (C) Half\n", "Half Probe\n"};
#elif defined(BANNER_CASE_BLANK)
// Values that are there but empty print their lines.
constexpr Expected kExpected = {"\nBlank Probe\nVersion \n\n\n", "Blank Probe\nVersion \n\n",
                                "Blank Probe\n"};
#else
// Values in another language's block only, or no block at all.
constexpr Expected kExpected = {"\n\n", "", ""};
#endif

std::string banner(void (*print)(std::ostream&)) {
  std::ostringstream out;
  print(out);
  return out.str();
}

}  // namespace

TEST(Banner, ToolsForm) {
  EXPECT_EQ(banner([](std::ostream& o) { toolsupport::printBanner(o); }), kExpected.tools);
}

TEST(Banner, ConsoleForms) {
  EXPECT_EQ(banner([](std::ostream& o) { toolsupport::printBanner(true, o); }),
            kExpected.consoleFull);
  EXPECT_EQ(banner([](std::ostream& o) { toolsupport::printBanner(false, o); }),
            kExpected.consoleShort);
}

TEST(Banner, GoesToStandardOutputByDefault) {
  testing::internal::CaptureStdout();
  toolsupport::printBanner();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kExpected.tools);
}
