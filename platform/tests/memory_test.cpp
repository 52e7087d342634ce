// Making a block's pages present ahead of writing it: contents and
// neighbours untouched, the block still the caller's.
#include "plat/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

uint8_t patternAt(size_t i) { return uint8_t(i * 131 + 7); }

TEST(PrefaultTest, LeavesEveryByteOfAndAroundTheRangeAsItWas) {
  // A range that starts and ends inside pages, inside a larger block whose
  // bytes either side must survive too.
  constexpr size_t kBlock = size_t(20) << 20;
  auto* block = static_cast<uint8_t*>(std::malloc(kBlock));
  ASSERT_NE(block, nullptr);
  for (size_t i = 0; i < kBlock; ++i) block[i] = patternAt(i);
  const size_t from = 4096 * 3 + 123;
  const size_t length = (size_t(16) << 20) + 4001;
  plat::prefaultForWrite(block + from, length);
  size_t differing = 0;
  for (size_t i = 0; i < kBlock; ++i) differing += block[i] != patternAt(i);
  EXPECT_EQ(differing, 0u);
  // Still writable and still malloc's to free.
  std::memset(block + from, 0x5A, length);
  EXPECT_EQ(block[from + length - 1], 0x5A);
  EXPECT_EQ(block[from + length], patternAt(from + length));
  std::free(block);
}

TEST(PrefaultTest, FreshBlockReadsAsWritten) {
  constexpr size_t kBlock = size_t(12) << 20;
  auto* block = static_cast<uint8_t*>(std::malloc(kBlock));
  ASSERT_NE(block, nullptr);
  plat::prefaultForWrite(block, kBlock);
  for (size_t i = 0; i < kBlock; i += 4093) block[i] = patternAt(i);
  for (size_t i = 0; i < kBlock; i += 4093) ASSERT_EQ(block[i], patternAt(i)) << i;
  std::free(block);
}

TEST(PrefaultTest, RangesWithNoWholePageAreLeftAlone) {
  std::vector<uint8_t> small(100, 0xC3);
  plat::prefaultForWrite(small.data(), small.size());
  plat::prefaultForWrite(small.data() + 10, 0);
  plat::prefaultForWrite(nullptr, 4096);
  for (uint8_t b : small) ASSERT_EQ(b, 0xC3);
}

}  // namespace
