#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "translayer/BlockingQueue.h"
#include "translayer/Event.h"
#include "translayer/ThreadBase.h"

using translayer::BlockingQueue;
using translayer::Event;
using translayer::ThreadBase;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Generous: only a hang may fail on it, never a slow machine.
constexpr auto kLong = 30s;

// ---- Event ----

TEST(EventTest, TimedWaitOnASetEventReturnsAtOnceAndConsumesTheFlag) {
  Event e;
  e.set();
  auto start = Clock::now();
  // A wait far longer than the test: had it waited, it would not be over.
  EXPECT_FALSE(e.timedWait(std::chrono::duration_cast<std::chrono::milliseconds>(kLong).count()))
      << "set: not a time-out";
  EXPECT_LT(Clock::now() - start, kLong) << "no waiting when set";
  start = Clock::now();
  EXPECT_TRUE(e.timedWait(250)) << "the flag was consumed";
  EXPECT_GE(Clock::now() - start, 245ms);
}

TEST(EventTest, ZeroOrNegativeTimeLooksWithoutWaiting) {
  for (int64_t ms : {0, -1, -1000}) {
    Event e;
    EXPECT_TRUE(e.timedWait(ms)) << ms;
    e.set();
    EXPECT_FALSE(e.timedWait(ms)) << ms;
    EXPECT_TRUE(e.timedWait(ms)) << ms << ": cleared either way";
  }
}

TEST(EventTest, TwoSetsLetOneWaitThrough) {
  Event e;
  e.set();
  e.set();
  e.wait();
  EXPECT_TRUE(e.timedWait(50)) << "the second set did not count twice";
  e.set();
  e.reset();
  EXPECT_TRUE(e.timedWait(0));
}

TEST(EventTest, EachSetReleasesOneOfSeveralWaiters) {
  Event e;
  std::atomic<int> passed{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      e.wait();
      ++passed;
    });
  for (int expected = 1; expected <= 3; ++expected) {
    e.set();
    auto deadline = Clock::now() + kLong;
    while (passed < expected && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(passed, expected);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(passed, expected) << "one set, one waiter";
  }
  for (auto& t : waiters) t.join();
}

TEST(EventTest, SetFromAnotherThreadEndsATimedWait) {
  Event e;
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    e.set();
  });
  EXPECT_FALSE(e.timedWait(30000));
  setter.join();
}

// ---- BlockingQueue ----

TEST(BlockingQueueTest, PopsInPushOrder) {
  BlockingQueue<std::string> q;
  for (const char* s : {"first", "second", "third"}) q.push(std::make_shared<std::string>(s));
  EXPECT_EQ(q.size(), 3u);
  std::shared_ptr<std::string> out;
  for (const char* s : {"first", "second", "third"}) {
    q.pop(out);
    EXPECT_EQ(*out, s);
  }
  EXPECT_FALSE(q.tryPop(out));
  EXPECT_FALSE(q.popFor(out, 20));
}

TEST(BlockingQueueTest, PopWaitsForAPush) {
  BlockingQueue<int> q;
  auto popped = std::async(std::launch::async, [&] {
    std::shared_ptr<int> out;
    q.pop(out);
    return *out;
  });
  EXPECT_EQ(popped.wait_for(30ms), std::future_status::timeout);
  q.push(std::make_shared<int>(7));
  ASSERT_EQ(popped.wait_for(kLong), std::future_status::ready);
  EXPECT_EQ(popped.get(), 7);
}

TEST(BlockingQueueTest, OwnsOneReferenceOfEachQueuedItem) {
  std::weak_ptr<int> cleared, destroyed, popped;
  {
    BlockingQueue<int> q;
    auto a = std::make_shared<int>(1), b = std::make_shared<int>(2);
    popped = a;
    q.push(a);
    a.reset();
    std::shared_ptr<int> out;
    q.pop(out);
    EXPECT_EQ(out.use_count(), 1) << "the queue let go of the popped item";
    out.reset();
    EXPECT_TRUE(popped.expired());

    cleared = b;
    q.push(b);
    b.reset();
    q.clear();
    EXPECT_TRUE(cleared.expired());

    auto c = std::make_shared<int>(3);
    destroyed = c;
    q.push(c);
  }
  EXPECT_TRUE(destroyed.expired()) << "the queue's destructor released its items";
}

TEST(BlockingQueueTest, ManyProducersAndConsumersLoseNothingAndKeepEachProducersOrder) {
  constexpr int kProducers = 4, kConsumers = 3, kEach = 2000;
  BlockingQueue<std::pair<int, int>> q;
  std::vector<std::vector<std::pair<int, int>>> got(kConsumers);
  std::vector<std::thread> threads;
  for (int c = 0; c < kConsumers; ++c)
    threads.emplace_back([&, c] {
      std::shared_ptr<std::pair<int, int>> item;
      while (true) {
        q.pop(item);
        if (item->first < 0) return;
        got[c].push_back(*item);
      }
    });
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) q.push(std::make_shared<std::pair<int, int>>(p, i));
    });
  for (auto& t : producers) t.join();
  for (int c = 0; c < kConsumers; ++c) q.push(std::make_shared<std::pair<int, int>>(-1, 0));
  for (auto& t : threads) t.join();

  std::set<std::pair<int, int>> all;
  for (auto& list : got) {
    std::vector<int> last(kProducers, -1);
    for (auto [p, i] : list) {
      EXPECT_GT(i, last[p]) << "one consumer sees a producer's items in order";
      last[p] = i;
      EXPECT_TRUE(all.insert({p, i}).second) << "popped twice";
    }
  }
  EXPECT_EQ(all.size(), size_t(kProducers * kEach));
}

// ---- ThreadBase ----

// A worker whose body waits to be released; it joins in its own destructor,
// as every worker must.
class Gate : public ThreadBase {
 public:
  Gate() : ThreadBase("GateWorker") {}
  ~Gate() override {
    release.set();
    join();
  }
  Event entered, release;
  std::atomic<int> runs{0};
  std::atomic<bool> joinFromInside{false};
  std::atomic<bool> hadThreadInside{false};

 protected:
  void run() override {
    ++runs;
    if (joinFromInside) {
      join();  // on the worker itself: returns at once
      hadThreadInside = hasThread();
    }
    entered.set();
    release.wait();
  }
};

TEST(ThreadBaseTest, LifecycleFromStartToJoinAndStartAgain) {
  Gate g;
  EXPECT_FALSE(g.isRunning());
  EXPECT_FALSE(g.hasThread());
  EXPECT_EQ(g.threadName(), "GateWorker");
  g.start();
  ASSERT_FALSE(g.entered.timedWait(30000));
  EXPECT_TRUE(g.isRunning());
  g.start();  // running: nothing new
  g.release.set();
  auto deadline = Clock::now() + kLong;
  while (g.isRunning() && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_FALSE(g.isRunning()) << "the body returned, not yet joined";
  EXPECT_TRUE(g.hasThread());
  g.start();  // the thread object still exists: nothing starts
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(g.runs, 1);
  g.join();
  EXPECT_FALSE(g.hasThread());
  g.join();  // no thread: nothing to do

  g.start();  // after join the same object runs again
  ASSERT_FALSE(g.entered.timedWait(30000));
  EXPECT_EQ(g.runs, 2);
  EXPECT_TRUE(g.isRunning());
}

TEST(ThreadBaseTest, JoinFromInsideTheBodyReturnsAndKeepsTheThread) {
  Gate g;
  g.joinFromInside = true;
  g.start();
  ASSERT_FALSE(g.entered.timedWait(30000)) << "join on the worker itself did not block";
  EXPECT_TRUE(g.hadThreadInside);
  EXPECT_TRUE(g.hasThread());
}

TEST(ThreadBaseTest, DetachLetsTheBodyRunOnUnobserved) {
  // A detached body still touches its object as it ends, and nothing tells
  // when; so this object is left to outlive the test (held by a static, so
  // leak checkers see it as still reachable).
  static Gate* g = new Gate;
  g->start();
  ASSERT_FALSE(g->entered.timedWait(30000));
  g->detach();
  EXPECT_FALSE(g->hasThread());
  EXPECT_FALSE(g->isRunning()) << "a detached thread is no longer ours";
  g->release.set();
}

// The base destructor joins instead of detaching, so a body still running
// when the object dies has finished by the time the destructor returns.
class Sleeper : public ThreadBase {
 public:
  explicit Sleeper(std::shared_ptr<std::atomic<bool>> done)
      : ThreadBase("Sleeper"), done_(std::move(done)) {}
  Event entered;

 protected:
  void run() override {
    auto done = done_;  // the body touches nothing of the object after this
    entered.set();
    std::this_thread::sleep_for(100ms);
    *done = true;
  }

 private:
  std::shared_ptr<std::atomic<bool>> done_;
};

TEST(ThreadBaseTest, DestructorJoinsABodyThatStillRuns) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  {
    auto s = std::make_unique<Sleeper>(done);
    s->start();
    ASSERT_FALSE(s->entered.timedWait(30000));
  }
  EXPECT_TRUE(*done);
}

TEST(ThreadBaseTest, StateQueriesRaceSafelyWithTheBodyEnding) {
  for (int round = 0; round < 20; ++round) {
    Gate g;
    g.start();
    std::atomic<bool> stop{false};
    std::vector<std::thread> watchers;
    for (int i = 0; i < 3; ++i)
      watchers.emplace_back([&] {
        while (!stop) {
          g.isRunning();
          g.hasThread();
          g.start();  // a no-op while the thread object exists
        }
      });
    g.release.set();
    while (g.isRunning()) std::this_thread::yield();
    stop = true;
    for (auto& t : watchers) t.join();
    EXPECT_EQ(g.runs, 1);
  }
}

}  // namespace
