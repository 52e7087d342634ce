// The text helpers of the bindings that need no JVM (the UTF-8 codec they
// use is tested in base/).
#include "vlnjni/Text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(UntilZero, StopsAtTheFirstZeroOrTheEnd) {
  const char seven[7] = {'d', 'e', 'v', 'i', 'c', 'e', '7'};
  EXPECT_EQ("device7", vlnjni::untilZero(seven, sizeof seven));
  const char terminated[8] = "abc\0def";
  EXPECT_EQ("abc", vlnjni::untilZero(terminated, sizeof terminated));
  EXPECT_EQ("", vlnjni::untilZero(terminated, 0));
}

}  // namespace
