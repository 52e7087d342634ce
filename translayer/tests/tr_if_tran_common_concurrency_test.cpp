// The engine under several threads at once: producers queueing, closers
// racing the loop's start and end, receivers answering from the loop thread.
#include <cstring>
#include <map>
#include <thread>

#include "engine_support.h"
#include "plat/msgpipe.h"
#include "translayer/ThreadBase.h"

using translayer::ThreadBase;
using translayer::TrIfTranCommon;
using translayer::TrIfTranPayload;
using translayer::TrIfTranRemote;

using namespace enginetest;

namespace {

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new RuntimeDirEnvironment);

// An engine with its own pipe thread, shaped like the channel owners.
class PipeWorker : public ThreadBase, public TrIfTranCommon {
 public:
  PipeWorker(plat::Handle pipe, TrIfTranRemote* receiver)
      : ThreadBase("PipeWorker"), pipe_(pipe), receiver_(receiver) {}
  ~PipeWorker() override {
    TrIfTranCommon::close(false);
    join();
  }

 protected:
  void run() override {
    notConnected = 0;
    connectResult.set();
    ioLoop(pipe_, receiver_);
  }

 private:
  plat::Handle pipe_;
  TrIfTranRemote* receiver_;
};

// Sends every chunk straight back through its own engine, from the loop thread.
class Bounce : public TrIfTranRemote {
 public:
  TrIfTranCommon* engine = nullptr;
  std::atomic<int> closes{0};
  bool deliver(std::shared_ptr<TrIfTranPayload> chunk) override { return engine->deliver(chunk); }
  void close(bool) override { ++closes; }
};

TEST(EngineConcurrencyTest, ProducersOnManyThreadsKeepTheirOwnOrder) {
  constexpr int kProducers = 4, kEach = 500;
  plat::Handle a, b;
  ASSERT_EQ(plat::pipePair(&a, &b), 0);
  Recorder received;
  Bounce bounce;
  {
    PipeWorker near(a, &received);
    PipeWorker far(b, &bounce);
    bounce.engine = &far;
    near.start();
    far.start();
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
      producers.emplace_back([&, p] {
        for (int i = 0; i < kEach; ++i) {
          // One chunk each: chunks of messages from different threads would
          // interleave on the channel, so senders of longer messages take
          // turns (the client libraries lock per channel).
          auto bytes = pattern(8 + (i * 37 + p) % 1000, uint32_t(p * kEach + i));
          bytes[0] = uint8_t(p);
          std::memcpy(&bytes[1], &i, sizeof i);
          sendMessage(&near, bytes);
        }
      });
    for (auto& t : producers) t.join();
    std::map<int, int> next;
    for (int n = 0; n < kProducers * kEach; ++n) {
      std::shared_ptr<std::vector<uint8_t>> m;
      ASSERT_TRUE(received.messages.popFor(m, 60000)) << "message " << n;
      int p = (*m)[0], i;
      std::memcpy(&i, &(*m)[1], sizeof i);
      ASSERT_LT(p, kProducers);
      EXPECT_EQ(i, next[p]++) << "producer " << p;
      EXPECT_EQ(m->size(), size_t(8 + (i * 37 + p) % 1000));
    }
    near.close(true);
    ASSERT_TRUE(returnsInTime([&] { far.join(); }));
  }
  EXPECT_EQ(received.closes, 1);
  EXPECT_EQ(bounce.closes, 1);
}

// Hands every chunk to a thread of its own, which delivers it back through
// the engine: deliveries from outside the loop, as a device's come.
class Relay final : public TrIfTranRemote {
 public:
  Relay() : thread_([this] { run(); }) {}
  ~Relay() {
    chunks_.push(nullptr);
    thread_.join();
  }
  bool deliver(std::shared_ptr<TrIfTranPayload> chunk) override {
    chunks_.push(std::make_shared<std::shared_ptr<TrIfTranPayload>>(std::move(chunk)));
    return true;
  }
  void close(bool) override {}

 private:
  void run() {
    for (;;) {
      std::shared_ptr<std::shared_ptr<TrIfTranPayload>> c;
      chunks_.pop(c);
      if (!c) return;
      engine->deliver(*c);
    }
  }

 public:
  TrIfTranCommon* engine = nullptr;  // set before the first chunk comes

 private:
  translayer::BlockingQueue<std::shared_ptr<TrIfTranPayload>> chunks_;
  std::thread thread_;
};

TEST(EngineConcurrencyTest, EveryDeliveryToASleepingLoopWakesIt) {
  // Request and reply, one at a time, on several channels at once: each
  // chunk reaches a loop that has just gone to sleep, from a thread that is
  // not the loop's. A wake-up lost between the loop's last look at its queue
  // and its wait leaves a request unanswered.
  constexpr int kChannels = 4, kRounds = 2000;
  struct Channel {
    plat::Handle a = plat::kInvalidHandle, b = plat::kInvalidHandle;
    Recorder received;
    std::unique_ptr<PipeWorker> near, far;
    std::unique_ptr<Relay> relay;
  };
  std::vector<std::unique_ptr<Channel>> channels;
  for (int c = 0; c < kChannels; ++c) {
    auto ch = std::make_unique<Channel>();
    ASSERT_EQ(plat::pipePair(&ch->a, &ch->b), 0);
    ch->near = std::make_unique<PipeWorker>(ch->a, &ch->received);
    ch->relay = std::make_unique<Relay>();
    ch->far = std::make_unique<PipeWorker>(ch->b, ch->relay.get());
    ch->relay->engine = ch->far.get();
    channels.push_back(std::move(ch));
  }
  for (auto& ch : channels) {
    ch->near->start();
    ch->far->start();
  }
  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  for (int c = 0; c < kChannels; ++c)
    clients.emplace_back([&, c] {
      Channel& ch = *channels[size_t(c)];
      for (int i = 0; i < kRounds; ++i) {
        auto bytes = pattern(1 + (i * 53 + c) % 2000, uint32_t(c * kRounds + i));
        sendMessage(ch.near.get(), bytes);
        std::shared_ptr<std::vector<uint8_t>> m;
        if (!ch.received.messages.popFor(m, 60000)) return;  // lost: counted below
        if (*m != bytes) return;
        ++answered;
      }
    });
  for (auto& t : clients) t.join();
  EXPECT_EQ(answered.load(), kChannels * kRounds);
  for (auto& ch : channels) {
    ch->near->close(true);
    ASSERT_TRUE(returnsInTime([&] { ch->far->join(); }));
    ch->near.reset();
    ch->far.reset();
    ch->relay.reset();
  }
}

TEST(EngineConcurrencyTest, ClosersRacingDeliveriesAllReturnAndTheReceiverHearsOnce) {
  for (int round = 0; round < 20; ++round) {
    plat::Handle a, b;
    ASSERT_EQ(plat::pipePair(&a, &b), 0);
    Recorder nearReceiver;
    Bounce bounce;
    TrIfTranCommon near, far;
    bounce.engine = &far;
    Loop farLoop(far, b, &bounce);
    Loop nearLoop(near, a, &nearReceiver);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int p = 0; p < 3; ++p)
      threads.emplace_back([&] {
        while (!stop) near.deliver(std::make_shared<TrIfTranPayload>());
      });
    for (int c = 0; c < 3; ++c)
      threads.emplace_back([&, c] {
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
        near.close(c != 0);
      });
    // Every waiting closer returns once the loop has ended.
    for (size_t t = 3; t < threads.size(); ++t) threads[t].join();
    ASSERT_TRUE(nearLoop.ended());
    EXPECT_EQ(nearReceiver.closes, 1);
    stop = true;
    for (size_t t = 0; t < 3; ++t) threads[t].join();
    ASSERT_TRUE(farLoop.ended()) << "the far end saw the close";
    EXPECT_EQ(bounce.closes, 1);
  }
}

TEST(EngineConcurrencyTest, CloseAndWaitRacingTheLoopStartReturnsAfterIt) {
  for (int round = 0; round < 50; ++round) {
    plat::Handle a, b;
    ASSERT_EQ(plat::pipePair(&a, &b), 0);
    TrIfTranCommon engine;
    Recorder receiver;
    engine.notConnected = 0;  // the owner's thread is about to loop
    std::thread closer([&] {
      engine.close(true);
      EXPECT_EQ(receiver.closes, 1) << "the receiver was told before close(true) returned";
    });
    std::thread owner([&] { engine.ioLoop(a, &receiver); });
    closer.join();
    owner.join();
    EXPECT_EQ(receiver.closes, 1);
    EXPECT_TRUE(engine.ended());
    plat::closeHandle(b);
  }
}

TEST(EngineConcurrencyTest, DeliveriesBeforeTheLoopStartsAreWrittenWhenItDoes) {
  plat::Handle a, b;
  ASSERT_EQ(plat::pipePair(&a, &b), 0);
  TrIfTranCommon sender, receiverEngine;
  Recorder received;
  Recorder unused;
  std::vector<std::vector<uint8_t>> sent;
  std::vector<std::thread> producers;
  std::mutex sentMutex;
  for (int p = 0; p < 3; ++p)
    producers.emplace_back([&, p] {
      auto bytes = pattern(700, uint32_t(p));
      {
        std::lock_guard<std::mutex> lock(sentMutex);
        sent.push_back(bytes);
      }
      sendMessage(&sender, bytes);
    });
  for (auto& t : producers) t.join();
  {
    Loop in(receiverEngine, b, &received);
    Loop out(sender, a, &unused);
    for (int n = 0; n < 3; ++n) {
      std::shared_ptr<std::vector<uint8_t>> m;
      ASSERT_TRUE(received.messages.popFor(m, 60000));
      std::lock_guard<std::mutex> lock(sentMutex);
      EXPECT_NE(std::find(sent.begin(), sent.end(), *m), sent.end());
    }
    sender.close(true);
    EXPECT_TRUE(in.ended());
  }
  EXPECT_EQ(received.closes, 1);
  EXPECT_EQ(unused.closes, 1);
}

}  // namespace
