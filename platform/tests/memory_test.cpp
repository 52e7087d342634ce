// Making a block's pages present ahead of writing it, and asking for huge
// pages on it: contents and neighbours untouched, the block still the
// caller's. And what the process can tell of its memory.
#include "plat/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "plat/process.h"

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

// Whether this machine gives transparent huge pages to a mapping that asks;
// the advice is refused without them.
bool hugePagesAvailable() {
  const std::string enabled = plat::hugePageModes().enabled;
  return !enabled.empty() && enabled != "never";
}

TEST(HugePageTest, ModesAreTheKernelsChosenWords) {
  const plat::HugePageModes modes = plat::hugePageModes();
  if (modes.enabled.empty()) GTEST_SKIP() << "no transparent huge pages here";
  EXPECT_TRUE(modes.enabled == "always" || modes.enabled == "madvise" || modes.enabled == "never")
      << modes.enabled;
  EXPECT_FALSE(modes.defrag.empty());
  EXPECT_EQ(modes.defrag.find_first_of("[] \n"), std::string::npos) << modes.defrag;
  const size_t huge = plat::hugePageBytes();
  EXPECT_GE(huge, size_t(4096));
  EXPECT_EQ(huge & (huge - 1), 0u);
}

// Only the huge-page-aligned interior is advised: a block with none inside
// gets nothing, a large one its whole interior, and what it holds stays.
TEST(HugePageTest, AdvisesTheAlignedInteriorOfLargeBlocksOnly) {
  if (!hugePagesAvailable()) GTEST_SKIP() << "no transparent huge pages here";
  const size_t huge = plat::hugePageBytes();
  struct Case {
    const char* what;
    size_t length;
    bool advised;
  };
  const Case cases[] = {
      {"large block", size_t(48) << 20, true},
      {"just over two huge pages", 2 * huge + 100, true},
      {"one huge page, unaligned", huge, false},
      {"small block", 100000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A mapping of its own: the test's own, so that nothing else shares it.
    std::vector<uint8_t> storage(c.length + huge);
    uintptr_t at = reinterpret_cast<uintptr_t>(storage.data());
    // Start just past a huge-page boundary, so the first huge page in the
    // range begins one huge page later.
    at = ((at + huge - 1) & ~uintptr_t(huge - 1)) + 64;
    if (at + c.length > reinterpret_cast<uintptr_t>(storage.data()) + storage.size()) at -= huge;
    auto* block = reinterpret_cast<uint8_t*>(at);
    for (size_t i = 0; i < c.length; i += 4093) block[i] = patternAt(i);
    const size_t advised = plat::adviseHugePages(block, c.length);
    if (c.advised) {
      // From the first boundary after the start to the last before the end.
      const uintptr_t first = (at + huge - 1) & ~uintptr_t(huge - 1);
      const uintptr_t last = (at + c.length) & ~uintptr_t(huge - 1);
      EXPECT_EQ(advised, size_t(last - first));
      EXPECT_TRUE(plat::hugePagesAdvised(reinterpret_cast<void*>(first)));
      EXPECT_TRUE(plat::hugePagesAdvised(reinterpret_cast<void*>(last - 1)));
    } else {
      EXPECT_EQ(advised, 0u);
    }
    // The bytes before the aligned interior share pages with others: never
    // advised.
    EXPECT_FALSE(plat::hugePagesAdvised(block));
    size_t differing = 0;
    for (size_t i = 0; i < c.length; i += 4093) differing += block[i] != patternAt(i);
    EXPECT_EQ(differing, 0u);
  }
  EXPECT_EQ(plat::adviseHugePages(nullptr, size_t(64) << 20), 0u);
}

TEST(PeakResidentTest, ResetStartsFromWhatIsHeldNow) {
  constexpr size_t kBlock = size_t(48) << 20;
  // A peak of its own first, released again (or kept by the allocator: the
  // reset must come down to what is resident either way).
  delete new std::vector<uint8_t>(kBlock, 1);
  if (!plat::resetPeakResident()) GTEST_SKIP() << "the peak cannot be reset here";
  const uint64_t afterReset = plat::peakResidentBytes();
  unsigned long long resident = 0;
  ASSERT_EQ(plat::processResidentBytes(plat::currentProcessId(), &resident), 0);
  ASSERT_GT(afterReset, 0u);
  // The OS counts resident pages in batches: a few MiB either way.
  constexpr uint64_t kSlack = uint64_t(4) << 20;
  EXPECT_LE(afterReset, resident + kSlack);
  EXPECT_GE(afterReset + kSlack, resident);
  // Touching a block raises it by the block.
  std::vector<uint8_t> block(kBlock, 2);
  EXPECT_GE(plat::peakResidentBytes(), afterReset + kBlock / 10 * 9);
}

}  // namespace
