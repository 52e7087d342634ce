// The fast time text against the shared reference formatting, over every
// exponent and many mantissas, including the values near powers of two where
// the rounding interval is lopsided.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "../src/FloatText.h"
#include "codeccommon/XmlText.h"

namespace {

float fromBits(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

std::string fast(float v) {
  std::string s;
  scopecodec::appendFloatText(s, v);
  return s;
}

}  // namespace

TEST(FloatText, MatchesTheReferenceRule) {
  const float specials[] = {0.0f,
                            -0.0f,
                            1.0f,
                            -1.0f,
                            0.1f,
                            1e-5f,
                            1e-4f,
                            9.99999e-5f,
                            123456.0f,
                            999999.0f,
                            1e6f,
                            1234567.0f,
                            0.000123f,
                            3.4028235e38f,
                            1.17549435e-38f,
                            1.4e-45f,
                            0.5f,
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(),
                            -std::numeric_limits<float>::quiet_NaN(),
                            1.80000007f,
                            0.900000036f,
                            100000.5f,
                            99999.95f,
                            0.0001f,
                            0.00001f};
  for (float v : specials) EXPECT_EQ(fast(v), codec::formatFloat(v)) << v;

  std::mt19937 rng(12345);
  int mismatches = 0;
  for (uint32_t exponentBits = 0; exponentBits < 255; ++exponentBits) {
    for (uint32_t mantissa : {0u, 1u, 2u, 0x7FFFFFu, 0x7FFFFEu, 0x400000u}) {
      for (uint32_t sign : {0u, 1u}) {
        float v = fromBits(sign << 31 | exponentBits << 23 | mantissa);
        if (fast(v) != codec::formatFloat(v) && ++mismatches < 10) ADD_FAILURE() << v;
      }
    }
    for (int i = 0; i < 2000; ++i) {
      float v = fromBits(exponentBits << 23 | (rng() & 0x7FFFFFu));
      if (fast(v) != codec::formatFloat(v) && ++mismatches < 10) ADD_FAILURE() << v;
    }
  }
  // Times as the decoder makes them: steps of a short interval.
  for (float step : {1e-5f, 1e-3f, 0.1f, 1.0f / 3.0f, 2.5e-7f}) {
    float accumulated = 0.37f;
    for (int d = 0; d < 20000; ++d) {
      float v = float(d) * step + accumulated;
      if (fast(v) != codec::formatFloat(v) && ++mismatches < 10) ADD_FAILURE() << v;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

// The decoder keeps texts in a store with kFloatTextRoom bytes to spare and
// copies them out in fixed pieces: a text never exceeds kMaxFloatText, and
// writing it stays within kFloatTextRoom.
TEST(FloatText, StaysWithinItsRoom) {
  constexpr size_t kGuard = 16;
  std::vector<float> values = {-1.23456789e-38f,
                               -0.000123456789f,
                               -0.000123456f,
                               -1.17549435e-38f,
                               -3.40282347e+38f,
                               -1.40129846e-45f,
                               -std::numeric_limits<float>::quiet_NaN(),
                               -std::numeric_limits<float>::infinity(),
                               -123456789.0f,
                               0.0f};
  std::mt19937 rng(777);
  for (int i = 0; i < 200000; ++i) values.push_back(fromBits(uint32_t(rng())));
  size_t longest = 0;
  for (float v : values) {
    char buf[scopecodec::kFloatTextRoom + kGuard];
    std::memset(buf, 0x5A, sizeof buf);
    const size_t n = scopecodec::writeFloatText(buf, v);
    ASSERT_LE(n, scopecodec::kMaxFloatText) << v;
    for (size_t i = scopecodec::kFloatTextRoom; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 0x5A) << v;
    ASSERT_EQ(std::string(buf, n), codec::formatFloat(v)) << v;
    longest = std::max(longest, n);
  }
  EXPECT_EQ(longest, scopecodec::kMaxFloatText);
}
