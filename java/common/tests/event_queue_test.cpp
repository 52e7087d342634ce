// The queue between library threads and the dispatcher, without a JVM:
// which id each event is delivered with, stop, and no lost wake-ups.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "vlnjni/EventQueue.h"

namespace {

using vlnjni::EventQueue;
using vlnjni::NativeEvent;
using Bytes = std::vector<std::uint8_t>;

std::unique_ptr<NativeEvent> event(void* handle, int type) {
  return std::make_unique<NativeEvent>(handle, type, Bytes{std::uint8_t(type)}, 1);
}

int slotA, slotB;
void* const kHandle = &slotA;
void* const kOther = &slotB;
const Bytes kIdA(16, 0xAA);
const Bytes kIdB(16, 0xBB);

TEST(EventQueue, IdIsFixedWhenQueuedAndAReusedHandleNeverLendsItsNewId) {
  EventQueue q;
  q.setRemoteId(kHandle, kIdA);
  q.push(event(kHandle, 1));     // a's, queued while registered
  q.eraseRemoteId(kHandle);      // a unregistered: its queued event is orphaned
  q.push(event(kHandle, 2));     // a late callback for the freed handle
  q.setRemoteId(kHandle, kIdB);  // the library gives the handle to b
  q.push(event(kHandle, 3));

  auto first = q.pop();
  auto second = q.pop();
  auto third = q.pop();
  EXPECT_EQ(Bytes{}, q.deliveryId(*first)) << "queued before the unregistration";
  EXPECT_EQ(Bytes{}, q.deliveryId(*second)) << "after the unregistration";
  EXPECT_EQ(kIdB, q.deliveryId(*third));
  EXPECT_EQ(3, third->type);
}

TEST(EventQueue, EventsDuringARegistrationGetTheIdItStores) {
  EventQueue q;
  q.beginRegistration();
  q.push(event(kHandle, 1));  // the library called back before register returned
  q.setRemoteId(kHandle, kIdA);
  q.endRegistration();
  q.push(event(kOther, 2));  // a handle nobody registered
  auto during = q.pop();
  auto stranger = q.pop();
  EXPECT_EQ(kIdA, q.deliveryId(*during));
  EXPECT_EQ(Bytes{}, q.deliveryId(*stranger));
}

// The dispatcher is already waiting when the library calls back from inside
// its register call: the event must not be handed out before the id is
// stored (it would go out with the empty id, a lost "connected").
TEST(EventQueue, AnEventDuringARegistrationWaitsForItsId) {
  EventQueue q;
  q.beginRegistration();
  q.push(event(kHandle, 1));
  Bytes delivered{0x01};
  std::thread dispatcher([&] {
    auto e = q.pop();
    delivered = q.deliveryId(*e);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  q.setRemoteId(kHandle, kIdA);
  q.endRegistration();
  dispatcher.join();
  EXPECT_EQ(kIdA, delivered);
}

TEST(EventQueue, ARegistrationWithoutHandleReleasesItsEventsAsOrphans) {
  EventQueue q;
  q.beginRegistration();
  q.push(event(kHandle, 1));
  q.beginRegistration();  // a second one at the same time
  q.endRegistration();
  EXPECT_EQ(1u, q.size());
  q.endRegistration();
  auto e = q.pop();
  EXPECT_EQ(Bytes{}, q.deliveryId(*e));
}

TEST(EventQueue, EraseOrphansOnlyThatHandle) {
  EventQueue q;
  q.setRemoteId(kHandle, kIdA);
  q.setRemoteId(kOther, kIdB);
  q.push(event(kHandle, 1));
  q.push(event(kOther, 2));
  q.eraseRemoteId(kHandle);
  auto a = q.pop();
  auto b = q.pop();
  EXPECT_EQ(Bytes{}, q.deliveryId(*a));
  EXPECT_EQ(kIdB, q.deliveryId(*b));
  EXPECT_EQ(kIdB, q.findRemoteId(kOther));
  EXPECT_EQ(Bytes{}, q.findRemoteId(kHandle));
}

TEST(EventQueue, StopDiscardsQueuedEventsAndWakesTheWaiter) {
  EventQueue q;
  q.push(event(kHandle, 1));
  q.push(event(kHandle, 2));
  q.stop();
  EXPECT_EQ(nullptr, q.pop()) << "queued events are not delivered after stop";
  q.push(event(kHandle, 3));
  EXPECT_EQ(0u, q.size()) << "nothing is queued after stop";

  EventQueue waiting;
  std::thread consumer([&] { EXPECT_EQ(nullptr, waiting.pop()); });
  waiting.stop();
  consumer.join();
}

// Producers on several threads while the consumer pops and handles are
// registered and erased: every event arrives exactly once, in each
// producer's order, and never with an id other than its own handle's.
TEST(EventQueue, ConcurrentProducersLoseNothing) {
  EventQueue q;
  constexpr int kProducers = 4;
  constexpr int kEach = 5000;
  int slots[kProducers];
  for (int p = 0; p < kProducers; ++p) q.setRemoteId(&slots[p], Bytes(16, std::uint8_t(p)));
  std::atomic<bool> churn{true};
  std::thread churner([&] {
    // Re-registers producer 0's handle over and over under the same id.
    while (churn) {
      q.eraseRemoteId(&slots[0]);
      q.setRemoteId(&slots[0], Bytes(16, 0));
    }
  });
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) q.push(event(&slots[p], i));
    });
  std::vector<int> next(kProducers, 0);
  for (int n = 0; n < kProducers * kEach; ++n) {
    auto e = q.pop();
    ASSERT_NE(nullptr, e);
    const int p = int(static_cast<int*>(e->handle) - slots);
    ASSERT_EQ(next[std::size_t(p)], e->type) << "producer " << p;
    ++next[std::size_t(p)];
    const Bytes id = q.deliveryId(*e);
    if (!id.empty())
      EXPECT_EQ(Bytes(16, std::uint8_t(p)), id);
    else
      EXPECT_EQ(0, p) << "only the churned handle may orphan events";
  }
  for (auto& t : producers) t.join();
  churn = false;
  churner.join();
  EXPECT_EQ(0u, q.size());
}

}  // namespace
