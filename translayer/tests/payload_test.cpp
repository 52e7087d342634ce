#include "translayer/Payload.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

#include "translayer/TrIfTranRemote.h"

using translayer::kMessageCap;
using translayer::MessageReader;
using translayer::MessageWriter;
using translayer::TrIfTranPayload;
using translayer::TrIfTranRemote;

// Allocation failures on demand: the test links with --wrap=realloc, so the
// library's realloc calls come here.
extern "C" void* __real_realloc(void* p, size_t n);
static int gFailReallocs = 0;
extern "C" void* __wrap_realloc(void* p, size_t n) {
  if (gFailReallocs > 0) {
    --gFailReallocs;
    return nullptr;
  }
  return __real_realloc(p, n);
}

namespace {

class Collector : public TrIfTranRemote {
 public:
  bool deliver(std::shared_ptr<TrIfTranPayload> chunk) override {
    chunks.push_back(std::move(chunk));
    return refuse == 0 ? true : false;
  }
  void close(bool) override {}
  std::vector<std::shared_ptr<TrIfTranPayload>> chunks;
  int refuse = 0;
};

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 31 + (i >> 10));
  return v;
}

std::shared_ptr<TrIfTranPayload> chunkOf(size_t n, uint8_t last, uint8_t fill = 0xab) {
  auto c = std::make_shared<TrIfTranPayload>();
  c->length = uint16_t(n);
  c->last = last;
  std::memset(c->data, fill, sizeof c->data);
  return c;
}

// ---- writer ----

TEST(MessageWriterTest, CutsMessagesIntoFullChunksWithTheLastFlagOnTheFinalOne) {
  const size_t sizes[] = {0, 1, 1023, 1024, 1025, 2048, 2049, 8192, 8193, 100000};
  for (size_t n : sizes) {
    MessageWriter w;
    auto data = pattern(n);
    ASSERT_TRUE(w.putBytes(data.data(), n));
    Collector c;
    ASSERT_TRUE(w.send(&c));
    EXPECT_EQ(c.chunks.size(), (n + 1023) / 1024) << n;
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      const auto& ch = *c.chunks[i];
      bool final = i + 1 == c.chunks.size();
      EXPECT_EQ(ch.last, final ? 1 : 0) << n << " chunk " << i;
      EXPECT_EQ(ch.length, final ? n - 1024 * i : 1024u) << n << " chunk " << i;
      joined.insert(joined.end(), ch.data, ch.data + ch.length);
    }
    EXPECT_EQ(joined, data) << n;
  }
}

TEST(MessageWriterTest, GrowsInWholeStepsAtLeastDoublingAndSendsEvenWhenRefused) {
  struct Case {
    size_t bytes;
    uint64_t byteByByte;  // capacity when built field by field
    uint64_t atOnce;      // capacity when put in one piece
  };
  const Case cases[] = {{0, 8192, 8192},       {8192, 8192, 8192},    {8193, 16384, 16384},
                        {20000, 32768, 24576}, {65536, 65536, 65536}, {100000, 131072, 106496}};
  for (const auto& k : cases) {
    MessageWriter bytewise, whole;
    auto data = pattern(k.bytes);
    for (uint8_t b : data) ASSERT_TRUE(bytewise.putU8(b));
    ASSERT_TRUE(whole.putBytes(data.data(), data.size()));
    EXPECT_EQ(bytewise.capacity(), k.byteByByte) << k.bytes;
    EXPECT_EQ(whole.capacity(), k.atOnce) << k.bytes;
    EXPECT_EQ(bytewise.length(), k.bytes);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), bytewise.data()));
  }
  // A refusing receiver does not stop the cutting: the engine behind it ends
  // the channel, and that is where the caller learns of it.
  MessageWriter w;
  auto data = pattern(3000);
  w.putBytes(data.data(), data.size());
  Collector c;
  c.refuse = 1;
  EXPECT_TRUE(w.send(&c));
  EXPECT_EQ(c.chunks.size(), 3u);
}

TEST(MessageWriterTest, FieldsAreLittleEndian) {
  MessageWriter w;
  w.putU8(0x11);
  w.putU16(0x2233);
  w.putU32(0x44556677);
  w.putU64(0x8899aabbccddeeffull);
  w.putFloat(1.0f);
  const uint8_t expected[] = {0x11, 0x33, 0x22, 0x77, 0x66, 0x55, 0x44, 0xff, 0xee, 0xdd,
                              0xcc, 0xbb, 0xaa, 0x99, 0x88, 0x00, 0x00, 0x80, 0x3f};
  ASSERT_EQ(w.length(), sizeof expected);
  EXPECT_EQ(std::memcmp(w.data(), expected, sizeof expected), 0);
  w.clear();
  EXPECT_EQ(w.length(), 0u);
  Collector c;
  EXPECT_TRUE(w.send(&c));
  EXPECT_TRUE(c.chunks.empty()) << "an empty message sends no chunk at all";
}

TEST(MessageWriterTest, AFailedGrowthSendsNothing) {
  MessageWriter w;
  auto data = pattern(100);
  w.putBytes(data.data(), data.size());
  gFailReallocs = 1;
  auto big = pattern(9000);
  EXPECT_FALSE(w.putBytes(big.data(), big.size()));
  EXPECT_TRUE(w.failed());
  EXPECT_EQ(w.length(), 100u) << "nothing of the failed put was added";
  EXPECT_FALSE(w.putU8(1)) << "stays failed";
  Collector c;
  EXPECT_FALSE(w.send(&c));
  EXPECT_TRUE(c.chunks.empty()) << "a half-built request never goes out";
  // A length that cannot even be represented fails the same way.
  w.clear();
  EXPECT_FALSE(w.failed());
  EXPECT_TRUE(w.putBytes(data.data(), 4));
  EXPECT_FALSE(w.putBytes(data.data(), SIZE_MAX));
  EXPECT_TRUE(w.failed());
}

// ---- reader ----

struct AppendCase {
  const char* what;
  std::vector<std::pair<size_t, uint8_t>> chunks;  // length, last
  std::vector<MessageReader::Append> results;
  uint64_t length, capacity;
};

TEST(MessageReaderTest, AppendJoinsChunksAndGrowsInSteps) {
  using A = MessageReader::Append;
  const AppendCase cases[] = {
      {"three chunks", {{1024, 0}, {1024, 0}, {5, 1}}, {A::More, A::More, A::Complete}, 2053, 8192},
      {"one byte past the first step",
       {{1024, 0},
        {1024, 0},
        {1024, 0},
        {1024, 0},
        {1024, 0},
        {1024, 0},
        {1024, 0},
        {1024, 0},
        {1, 1}},
       {A::More, A::More, A::More, A::More, A::More, A::More, A::More, A::More, A::Complete},
       8193,
       16384},
      {"an empty last chunk", {{0, 1}}, {A::Complete}, 0, 0},
      {"any non-zero flag is last", {{10, 7}}, {A::Complete}, 10, 8192},
  };
  for (const auto& k : cases) {
    MessageReader r;
    uint8_t fill = 0;
    std::vector<uint8_t> expected;
    for (size_t i = 0; i < k.chunks.size(); ++i) {
      auto c = chunkOf(k.chunks[i].first, k.chunks[i].second, ++fill);
      expected.insert(expected.end(), c->data, c->data + c->length);
      EXPECT_EQ(r.append(*c), k.results[i]) << k.what << " chunk " << i;
    }
    EXPECT_EQ(r.length(), k.length) << k.what;
    EXPECT_EQ(r.capacity(), k.capacity) << k.what;
    ASSERT_EQ(std::vector<uint8_t>(r.data(), r.data() + r.length()), expected) << k.what;
  }
}

TEST(MessageReaderTest, WriterToReaderRoundTrip) {
  MessageWriter w;
  w.putU8(0x42);
  w.putU32(0xdeadbeef);
  w.putFloat(-2.5f);
  w.putU16(0xbeef);
  w.putU64(0x0123456789abcdefull);
  auto tail = pattern(3000);
  w.putBytes(tail.data(), tail.size());
  Collector c;
  w.send(&c);
  MessageReader r;
  MessageReader::Append last = MessageReader::Append::More;
  for (auto& ch : c.chunks) last = r.append(*ch);
  ASSERT_EQ(last, MessageReader::Append::Complete);
  EXPECT_EQ(r.readU8(), 0x42);
  EXPECT_EQ(r.readU32(), 0xdeadbeefu);
  EXPECT_EQ(r.readFloat(), -2.5f);
  EXPECT_EQ(r.readU16(), 0xbeef);
  EXPECT_EQ(r.readU64(), 0x0123456789abcdefull);
  std::vector<uint8_t> got(3000);
  r.readBytes(got.data(), got.size());
  EXPECT_EQ(got, tail);
  EXPECT_EQ(r.remaining(), 0u);
  EXPECT_FALSE(r.underrun());
}

// Fills a reader with the given bytes.
void load(MessageReader& r, std::initializer_list<uint8_t> bytes) {
  TrIfTranPayload c;
  c.length = uint16_t(bytes.size());
  c.last = 1;
  std::copy(bytes.begin(), bytes.end(), c.data);
  ASSERT_EQ(r.append(c), MessageReader::Append::Complete);
}

TEST(MessageReaderTest, ReadsPastTheEndYieldZeroAndStayUnderrun) {
  struct Case {
    const char* what;
    size_t skip;  // bytes read first
    int read;     // 1 u8, 2 u16, 4 u32, 8 u64, 5 float, 0 bytes(n=4)
  };
  const Case cases[] = {{"u32 with 3 left", 2, 4},   {"u8 with 0 left", 5, 1},
                        {"u16 with 1 left", 4, 2},   {"u64 with 5 left", 0, 8},
                        {"float with 3 left", 2, 5}, {"4 bytes with 1 left", 4, 0}};
  for (const auto& k : cases) {
    MessageReader r;
    load(r, {1, 2, 3, 4, 5});
    std::vector<uint8_t> skipped(k.skip);
    r.readBytes(skipped.data(), k.skip);
    ASSERT_FALSE(r.underrun()) << k.what;
    uint8_t dest[4] = {9, 9, 9, 9};
    uint64_t got = 1;
    switch (k.read) {
      case 1:
        got = r.readU8();
        break;
      case 2:
        got = r.readU16();
        break;
      case 4:
        got = r.readU32();
        break;
      case 8:
        got = r.readU64();
        break;
      case 5:
        got = r.readFloat() == 0.0f ? 0 : 1;
        break;
      case 0:
        r.readBytes(dest, 4);
        got = 0;
        EXPECT_EQ(dest[0], 9) << k.what << ": nothing copied";
        break;
    }
    EXPECT_EQ(got, 0u) << k.what;
    EXPECT_TRUE(r.underrun()) << k.what;
    EXPECT_EQ(r.position(), r.length()) << k.what;
    EXPECT_EQ(r.readU8(), 0) << k.what << ": every later read underruns too";
  }
  MessageReader r;
  load(r, {1, 2, 3, 4});
  EXPECT_EQ(r.readU32(), 0x04030201u);
  r.readBytes(nullptr, 0);
  EXPECT_FALSE(r.underrun()) << "a read of 0 bytes never underruns";
  MessageReader empty;
  EXPECT_EQ(empty.readU8(), 0);
  EXPECT_TRUE(empty.underrun());
}

// The message is dropped, the reader is left empty and usable, and nothing is
// written into a block that could not grow.
TEST(MessageReaderTest, AMessageThatCannotBeHeldIsDropped) {
  struct Case {
    const char* what;
    size_t chunksBefore;  // full chunks appended before the failing one
    int failReallocs;     // allocations refused when the failing chunk comes
    uint16_t badLength;   // length of the failing chunk
  };
  const Case cases[] = {
      {"first block cannot be had", 0, 1, 1024},
      {"block cannot grow", 8, 1, 10},
      {"chunk claims more than a chunk holds", 1, 0, 1025},
  };
  for (const auto& k : cases) {
    MessageReader r;
    auto full = chunkOf(1024, 0);
    for (size_t i = 0; i < k.chunksBefore; ++i)
      ASSERT_EQ(r.append(*full), MessageReader::Append::More);
    gFailReallocs = k.failReallocs;
    auto bad = chunkOf(k.badLength, 1);
    EXPECT_EQ(r.append(*bad), MessageReader::Append::Failed) << k.what;
    gFailReallocs = 0;
    EXPECT_EQ(r.length(), 0u) << k.what;
    EXPECT_EQ(r.capacity(), 0u) << k.what;
    EXPECT_EQ(r.data(), nullptr) << k.what;
    load(r, {7, 8});
    EXPECT_EQ(r.readU16(), 0x0807) << k.what << ": the next message is whole";
  }
}

TEST(MessageReaderTest, MessageCapIsExactAndBigMessagesStillWork) {
  MessageReader r;
  auto full = chunkOf(1024, 0);
  const uint64_t chunks = kMessageCap / 1024;
  for (uint64_t i = 0; i + 1 < chunks; ++i) ASSERT_EQ(r.append(*full), MessageReader::Append::More);
  auto lastFull = chunkOf(1024, 1);
  EXPECT_EQ(r.append(*lastFull), MessageReader::Append::Complete) << "exactly the cap is allowed";
  EXPECT_EQ(r.length(), kMessageCap);
  EXPECT_EQ(r.capacity(), kMessageCap) << "growth stops at the cap";
  r.reset();
  for (uint64_t i = 0; i < chunks; ++i) ASSERT_EQ(r.append(*full), MessageReader::Append::More);
  auto one = chunkOf(1, 1);
  EXPECT_EQ(r.append(*one), MessageReader::Append::Failed) << "one byte past the cap";
  EXPECT_EQ(r.length(), 0u);
}

}  // namespace
