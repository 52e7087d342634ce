// pardbproto against a stand-in server that runs the devsim parameter
// database service right on each channel's pipe, behind a recorder of the
// chunks as the pipe carries them.
#include "pardbproto/pardbproto.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "ParDbRecorder.h"
#include "devsim/ParDbService.h"
#include "plat/runtime.h"
#include "svcwire/ParDbWire.h"
#include "testsupport/FakeHub.h"

using translayer::HwId;

namespace {

using pardbtest::Clock;
using pardbtest::Recorder;

struct Fragment {
  size_t length;
  bool last;
  bool operator==(const Fragment&) const = default;
};

// Every chunk the client sends, then the real service.
class ChunkLog {
 public:
  void add(const uint8_t* data, size_t length, bool last) {
    std::lock_guard<std::mutex> lock(mutex_);
    fragments_.push_back({length, last});
    bytes_.emplace_back(data, data + length);
  }
  std::vector<Fragment> fragments() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fragments_;
  }
  std::vector<std::vector<uint8_t>> bytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    fragments_.clear();
    bytes_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<Fragment> fragments_;
  std::vector<std::vector<uint8_t>> bytes_;
};

class RecordingService : public devsim::Service {
 public:
  RecordingService(std::unique_ptr<devsim::Service> inner, std::shared_ptr<ChunkLog> log)
      : inner_(std::move(inner)), log_(std::move(log)) {}
  void onData(const uint8_t* data, size_t length, bool last) override {
    log_->add(data, length, last);
    inner_->onData(data, length, last);
  }
  void onClosed() override { inner_->onClosed(); }

 private:
  std::unique_ptr<devsim::Service> inner_;
  std::shared_ptr<ChunkLog> log_;
};

HwId idOf(uint8_t first) {
  HwId id;
  for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(first + i);
  return id;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7 + (i >> 8));
  return v;
}

class PardbprotoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_ = plat::makeTempDir("pardbproto-");
    ASSERT_FALSE(runtime_.empty());
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", runtime_);
    hub_ = std::make_unique<devmgr_test::FakeHub>();
    ASSERT_TRUE(hub_->started());
    auto state = state_;
    auto log = log_;
    hub_->addDevice(id_, [state, log](std::shared_ptr<devsim::ServiceChannel> channel) {
      return std::make_unique<RecordingService>(devsim::ParDbService::factory(state)(channel), log);
    });
    const size_t from = Recorder::get().size();
    h_ = ProtParDBRegister(id_.id, sizeof id_.id, &Recorder::callback);
    ASSERT_GE(Recorder::get().waitFor(h_, 1, from), 0) << "no event 1";
  }
  void TearDown() override {
    if (h_) ProtParDBUnRegister(h_);
    hub_.reset();
    std::error_code ec;
    std::filesystem::remove_all(runtime_, ec);
  }

  // No event 0 for the handle from `from` on.
  void expectNoDisconnect(size_t from) {
    for (const auto& r : Recorder::get().since(h_, from)) EXPECT_NE(r.event, 0u);
  }

  std::string runtime_;
  HwId id_ = idOf(0x40);
  std::shared_ptr<devsim::ParDbState> state_ = std::make_shared<devsim::ParDbState>();
  std::shared_ptr<ChunkLog> log_ = std::make_shared<ChunkLog>();
  std::unique_ptr<devmgr_test::FakeHub> hub_;
  ProtParDBHandle h_ = nullptr;
};

TEST_F(PardbprotoTest, WritesTravelInChunksThatEachRepeatTheHeader) {
  Recorder& rec = Recorder::get();
  struct Case {
    size_t length;
    std::vector<Fragment> chunks;
  };
  const std::vector<Case> cases = {
      {2500, {{1024, false}, {1024, false}, {461, true}}},
      {1021, {{1024, true}}},
      {1022, {{1024, false}, {4, true}}},
      {1, {{4, true}}},
      {3063, {{1024, false}, {1024, false}, {1024, true}}},
  };
  uint8_t seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    log_->clear();
    const std::vector<uint8_t> value = pattern(c.length, seed++);
    const size_t from = rec.size();
    ASSERT_TRUE(ProtParDBReqWrite(h_, 0x1234, value.data(), value.size()));
    const int done = rec.waitFor(h_, PROT_PARDB_EVENT_WRITE, from);
    ASSERT_GE(done, 0);
    EXPECT_EQ(rec.at(done).index, 0x1234);
    EXPECT_EQ(rec.at(done).result, uint32_t(PROT_PARDB_RESULT_OK));
    EXPECT_EQ(log_->fragments(), c.chunks);
    for (const auto& chunk : log_->bytes()) {
      ASSERT_GE(chunk.size(), 3u);
      EXPECT_EQ(chunk[0], svcwire::pardb::kReqWrite);
      EXPECT_EQ(chunk[1], 0x34);
      EXPECT_EQ(chunk[2], 0x12);
    }
    EXPECT_EQ(state_->value(0x1234), value);
  }
}

TEST_F(PardbprotoTest, AReadIsOneThreeByteMessageAndRepliesKeepTheirRequestsIndex) {
  Recorder& rec = Recorder::get();
  state_->setEntry(0x0021, {{1, 2, 3}, 0, false});
  state_->setEntry(0x0022, {pattern(200000, 9), 0, false});  // grows the reply buffer
  log_->clear();
  const size_t from = rec.size();
  ASSERT_TRUE(ProtParDBReqRead(h_, 0x1234));
  ASSERT_TRUE(ProtParDBReqRead(h_, 0x0022));
  ASSERT_TRUE(ProtParDBReqRead(h_, 0x0021));
  ASSERT_TRUE(rec.waitCount(h_, PROT_PARDB_EVENT_READ, from, 3));
  std::vector<pardbtest::Record> reads;
  for (const auto& r : rec.since(h_, from))
    if (r.event == PROT_PARDB_EVENT_READ) reads.push_back(r);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[0].index, 0x1234);
  EXPECT_EQ(reads[0].length, sizeof(ProtParDBReadResult));
  EXPECT_TRUE(reads[0].bytes.empty());
  EXPECT_EQ(reads[1].index, 0x0022);
  EXPECT_EQ(reads[1].bytes, pattern(200000, 9));
  EXPECT_EQ(reads[2].index, 0x0021);
  EXPECT_EQ(reads[2].bytes, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(reads[0].threadName, "TrIfTranClient");
  const auto sent = log_->bytes();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], (std::vector<uint8_t>{24, 0x34, 0x12}));
  EXPECT_EQ(log_->fragments()[0], (Fragment{3, true}));
  expectNoDisconnect(from);
}

// A write with nothing to send would wait for a reply that never comes and
// drop the channel a second later: it is refused, and nothing goes out.
TEST_F(PardbprotoTest, AnEmptyWriteIsRefusedAndSendsNothing) {
  Recorder& rec = Recorder::get();
  log_->clear();
  const size_t from = rec.size();
  const uint8_t byte = 7;
  EXPECT_FALSE(ProtParDBReqWrite(h_, 0x0010, &byte, 0));
  EXPECT_FALSE(ProtParDBReqWrite(h_, 0x0010, nullptr, 0));
  EXPECT_FALSE(ProtParDBReqWrite(h_, 0x0010, nullptr, 5));
  // Well past the 1 s reply wait and a handler cycle.
  EXPECT_LT(rec.waitFor(h_, PROT_PARDB_EVENT_DOWN, from, 2600), 0);
  EXPECT_TRUE(log_->fragments().empty());
  ASSERT_TRUE(ProtParDBReqRead(h_, 0x0010));
  EXPECT_GE(rec.waitFor(h_, PROT_PARDB_EVENT_READ, from), 0);
  expectNoDisconnect(from);
}

// The device answers in order: a store that takes its time holds back the
// read queued behind it, and the client keeps both waiting. The final reply
// comes well within what the progress reply announced, past the usual wait.
TEST_F(PardbprotoTest, AStoreInProgressHoldsBackTheRepliesBehindIt) {
  Recorder& rec = Recorder::get();
  state_->setStoreMode(devsim::ParDbStoreMode::kProgress, 20000, 1500);
  const size_t from = rec.size();
  ASSERT_TRUE(ProtParDBReqStore(h_));
  ASSERT_TRUE(ProtParDBReqRead(h_, 0x000b));
  ASSERT_TRUE(rec.waitCount(h_, PROT_PARDB_EVENT_READ, from, 1));
  std::vector<uint64_t> events;
  for (const auto& r : rec.since(h_, from)) events.push_back(r.event);
  EXPECT_EQ(events, (std::vector<uint64_t>{PROT_PARDB_EVENT_STORE, PROT_PARDB_EVENT_READ}));
  const int store = rec.waitFor(h_, PROT_PARDB_EVENT_STORE, from);
  EXPECT_EQ(rec.at(store).result, uint32_t(PROT_PARDB_RESULT_OK));
}

// A reply over 64 MiB is refused before it is gathered whole. Carrying it
// takes a while on a loaded machine, longer than the usual reply wait: the
// awaited store first reports progress with the longest extension there is,
// so that the refusal, not the wait, ends the channel however slow the
// machine. Each chunk then extends the wait by its own second. The progress
// itself must come within the first second after the request: on a machine
// so loaded that it did not, the channel ends by the reply wait, and the
// round is tried again (a few times: a library that never refuses still
// fails every one).
TEST_F(PardbprotoTest, AReplyOverTheMessageLimitBreaksTheChannel) {
  Recorder& rec = Recorder::get();
  std::vector<uint8_t> huge(size_t(svcwire::pardb::kMaxMessage) + 1, 0x11);
  huge[0] = svcwire::pardb::kStore;
  state_->setFault(devsim::ParDbFault::kSilent);
  int down = -1;
  size_t from = 0;
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(pardbtest::eventually([&] { return state_->openChannels() > 0; }));
    from = rec.size();
    ASSERT_TRUE(ProtParDBReqStore(h_));
    state_->inject({svcwire::pardb::kStore, svcwire::pardb::kStoreInProgress, 0xff, 0xff});
    state_->inject(huge);
    down = rec.waitFor(h_, PROT_PARDB_EVENT_DOWN, from, 120000);
    ASSERT_GE(down, 0);
    if (rec.at(down).length == 2u) break;
    ASSERT_GE(rec.waitFor(h_, PROT_PARDB_EVENT_UP, size_t(down)), 0);
  }
  EXPECT_EQ(rec.at(down).length, 2u) << "the message limit, not the reply wait";
  EXPECT_LT(rec.waitFor(h_, PROT_PARDB_EVENT_STORE, from, 0), 0);
  state_->setFault(devsim::ParDbFault::kNone);
  ASSERT_GE(rec.waitFor(h_, PROT_PARDB_EVENT_UP, size_t(down)), 0);
  const size_t again = rec.size();
  ASSERT_TRUE(ProtParDBReqRead(h_, 0x000b));
  const int read = rec.waitFor(h_, PROT_PARDB_EVENT_READ, again);
  ASSERT_GE(read, 0);
  EXPECT_EQ(rec.at(read).bytes, (std::vector<uint8_t>{0xde, 0xad, 0xbe, 0xef}));
}

TEST(PardbprotoMisuse, StopsOnTheAssertionsOfTheLibrary) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  uint8_t id[16] = {};
  int notAHandle = 0;
  auto* h = reinterpret_cast<ProtParDBHandle>(&notAHandle);
  const uint8_t byte = 1;
  EXPECT_DEATH(ProtParDBRegister(id, 15, nullptr),
               "Assertion failed: sizeof\\(inhwid.id\\) == _hwidsz, file ChannelHandler");
  // Nothing is registered: there is no handler.
  EXPECT_DEATH(ProtParDBUnRegister(h), "Assertion failed: ch, file pardbproto");
  EXPECT_DEATH(ProtParDBReqSignature(h), "Assertion failed: ch, file pardbproto");
  EXPECT_DEATH(ProtParDBReqStore(h), "Assertion failed: ch, file pardbproto");
  EXPECT_DEATH(ProtParDBReqRead(h, 1), "Assertion failed: ch, file pardbproto");
  EXPECT_DEATH(ProtParDBReqWrite(h, 1, &byte, 1), "Assertion failed: ch, file pardbproto");
}

}  // namespace
