// The parameter database service's answers to single requests, and its
// reply order with a delay, over a stand-in channel.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "devsim/ParDbService.h"
#include "svcwire/ParDbWire.h"

namespace devsim {
namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

// A write message as the client cuts it: every 1024 bytes repeat the header.
Bytes writeMessage(uint16_t index, const Bytes& value) {
  Bytes m;
  for (size_t at = 0; at < value.size(); at += 1021) {
    m.push_back(26);
    m.push_back(uint8_t(index));
    m.push_back(uint8_t(index >> 8));
    const size_t n = std::min<size_t>(1021, value.size() - at);
    m.insert(m.end(), value.begin() + long(at), value.begin() + long(at + n));
  }
  return m;
}

Bytes messagesOf(const std::vector<ParDbState::Reply>& replies, size_t i) {
  return i < replies.size() ? replies[i].message : Bytes{0xEE};
}

TEST(ParDbState, AnswersEachRequest) {
  ParDbState state;
  state.setEntry(0x0200, {{1, 2, 3, 4}, 4, false});
  Bytes big(2500);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 3);
  Bytes mixed = writeMessage(0x0300, big);
  mixed[1024 + 1] = 0x01;  // the second segment names another index
  const struct {
    const char* name;
    Bytes request;
    Bytes reply;
  } cases[] = {
      {"signature", {16}, [] { Bytes s{17}; auto d = ParDbConfig::defaultSignature(); s.insert(s.end(), d.begin(), d.end()); return s; }()},
      {"read", {24, 0x0b, 0x00}, {25, 0xde, 0xad, 0xbe, 0xef}},
      {"unknown index reads empty", {24, 0x34, 0x12}, {25}},
      {"short read request", {24, 0x0b}, {25}},
      {"write", writeMessage(0x0200, {9, 8, 7, 6}), {27, 1}},
      {"wrong size for a fixed entry", writeMessage(0x0200, {9}), {27, 0}},
      {"read-only", writeMessage(0x0100, {1, 2, 3, 4}), {27, 0}},
      {"three segments", writeMessage(0x0300, big), {27, 1}},
      {"segments of two indices", mixed, {27, 0}},
      {"store", {18}, {19, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto replies = state.answer(c.request);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].message, c.reply);
  }
  EXPECT_EQ(state.value(0x0200), (Bytes{9, 8, 7, 6}));
  EXPECT_EQ(state.value(0x0300), big);
  EXPECT_EQ(state.value(0x0100), (Bytes{1, 8, 0, 0}));
  EXPECT_TRUE(state.answer({}).empty());
  EXPECT_TRUE(state.answer({99}).empty());
  EXPECT_EQ(state.requestCount(), size_t(std::size(cases)) + 2);
}

TEST(ParDbState, StoreModesAndFaults) {
  ParDbState state;
  state.setStoreMode(ParDbStoreMode::kProgress, 5000, 4000);
  auto replies = state.answer({18});
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].message, (Bytes{19, 2, 0x88, 0x13}));
  EXPECT_EQ(replies[1].message, (Bytes{19, 1}));
  EXPECT_EQ(replies[1].after - replies[0].after, milliseconds(4000));
  state.setStoreMode(ParDbStoreMode::kFail);
  EXPECT_EQ(messagesOf(state.answer({18}), 0), (Bytes{19, 0}));
  state.setStoreMode(ParDbStoreMode::kDone);

  state.setFault(ParDbFault::kWrongLength);
  EXPECT_EQ(messagesOf(state.answer({16}), 0).size(), 16u);  // code and 15 bytes
  EXPECT_EQ(messagesOf(state.answer({18}), 0), (Bytes{19, 1, 0}));
  state.setFault(ParDbFault::kWrongCode);
  EXPECT_EQ(messagesOf(state.answer({24, 0x0b, 0}), 0)[0], 27);
  state.setFault(ParDbFault::kExtraReply);
  replies = state.answer({24, 0x0b, 0});
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].message, replies[1].message);
  state.setFault(ParDbFault::kSilent);
  EXPECT_TRUE(state.answer({24, 0x0b, 0}).empty());
  // A silent device still takes what it is told.
  EXPECT_TRUE(state.answer(writeMessage(0x0010, {5})).empty());
  EXPECT_EQ(state.value(0x0010), Bytes{5});
}

class StandInChannel : public ServiceChannel {
 public:
  uint8_t channel() const override { return 1; }
  uint8_t protocolId() const override { return 2; }
  bool send(const uint8_t* data, size_t length, bool) override {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.emplace_back(data, data + length);
    cv_.notify_all();
    return true;
  }
  void close() override {}
  bool isOpen() const override { return true; }
  std::vector<Bytes> waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(20), [&] { return sent_.size() >= count; });
    return sent_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Bytes> sent_;
};

// A reply held back by its store holds back the one behind it.
TEST(ParDbService, RepliesKeepTheRequestOrder) {
  auto state = std::make_shared<ParDbState>();
  state->setStoreMode(ParDbStoreMode::kProgress, 1000, 300);
  auto channel = std::make_shared<StandInChannel>();
  {
    ParDbService service(channel, state);
    const auto begin = std::chrono::steady_clock::now();
    const Bytes store{18}, read{24, 0x0b, 0};
    service.onData(store.data(), store.size(), true);
    service.onData(read.data(), 2, false);  // fragments are joined
    service.onData(read.data() + 2, 1, true);
    const auto sent = channel->waitFor(3);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, milliseconds(300));
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], (Bytes{19, 2, 0xe8, 0x03}));
    EXPECT_EQ(sent[1], (Bytes{19, 1}));
    EXPECT_EQ(sent[2], (Bytes{25, 0xde, 0xad, 0xbe, 0xef}));
    EXPECT_EQ(state->openChannels(), 1u);
  }
  EXPECT_EQ(state->openChannels(), 0u);
}

}  // namespace
}  // namespace devsim
