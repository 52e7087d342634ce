// The RPC server's pool of call threads: concurrency, limits, stop().
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "plat/rpc.h"
#include "rpc_fixture.h"

namespace plat::test {
namespace {

using namespace std::chrono_literals;

const RpcInterface kTestIf = {{9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 1}, 1, 1, 4};

uint32_t callCode(uint16_t procedure, std::vector<uint8_t> args = {},
                  const RpcCallbackHandler& handler = {}, uint16_t* result = nullptr) {
  try {
    RpcResult r = rpcCall(RpcBinding(), kTestIf, procedure, args, handler);
    if (result) *result = r.result;
  } catch (const RpcException& e) {
    return e.code();
  }
  return 0;
}

// A gate the dispatchers wait at, with a count of who is waiting.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  int inside = 0;
  bool open = false;

  // Waits (at most 60 s) until opened; true when it was.
  bool pass() {
    std::unique_lock<std::mutex> lock(m);
    ++inside;
    cv.notify_all();
    bool opened = cv.wait_for(lock, 60s, [&] { return open; });
    --inside;
    return opened;
  }
  bool waitInside(int n) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, 60s, [&] { return inside >= n; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(m);
    open = true;
    cv.notify_all();
  }
};

using RpcPoolTest = RuntimeDirTest;

TEST_F(RpcPoolTest, ManyClientsAtOnceAllGetTheirOwnAnswers) {
  RpcServer server;
  ASSERT_EQ(0u, server.start(kTestIf, [](RpcCall& call, uint16_t, const uint8_t* a, size_t n,
                                         RpcResult* reply) {
    // Each call's callback goes back to its own caller.
    std::vector<uint8_t> args(a, a + n);
    if (call.callback(0, args) != 0) return kRpcCallFailed;
    reply->result = uint16_t(a[0] | a[1] << 8);
    return 0u;
  }));
  constexpr int kClients = 48, kCalls = 25;
  std::atomic<int> wrong{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      for (int i = 0; i < kCalls; ++i) {
        const uint16_t tag = uint16_t(c * 100 + i);
        bool callbackMatched = false;
        uint16_t result = 0;
        uint32_t code = callCode(
            0, {uint8_t(tag), uint8_t(tag >> 8)},
            [&](uint16_t, const uint8_t* a, size_t n) {
              callbackMatched = n == 2 && uint16_t(a[0] | a[1] << 8) == tag;
              return 0u;
            },
            &result);
        if (code != 0 || result != tag || !callbackMatched) ++wrong;
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(0, wrong.load());
}

TEST_F(RpcPoolTest, PoolGrowsPastItsMinimumForBlockedCalls) {
  Gate gate;
  RpcServer server;
  ASSERT_EQ(0u, server.start(kTestIf, [&](RpcCall&, uint16_t, const uint8_t*, size_t, RpcResult*) {
    return gate.pass() ? 0u : kRpcCallFailed;
  }));
  EXPECT_GE(server.threadCount(), 16u);
  constexpr int kCalls = 40;  // all must be inside at once
  std::vector<std::thread> clients;
  std::atomic<int> failed{0};
  for (int i = 0; i < kCalls; ++i)
    clients.emplace_back([&] {
      if (callCode(0) != 0) ++failed;
    });
  EXPECT_TRUE(gate.waitInside(kCalls));
  EXPECT_EQ(unsigned(kCalls), server.callsInFlight());
  EXPECT_GE(server.threadCount(), unsigned(kCalls));
  gate.release();
  for (auto& t : clients) t.join();
  EXPECT_EQ(0, failed.load());
}

TEST_F(RpcPoolTest, CallsPastTheLimitAreTooBusyAndIdleThreadsRetire) {
  Gate gate;
  RpcServerOptions options;
  options.minThreads = 2;
  options.maxCalls = 4;
  options.idleRetireMs = 50;
  RpcServer server;
  ASSERT_EQ(0u, server.start(
                    kTestIf,
                    [&](RpcCall&, uint16_t p, const uint8_t*, size_t, RpcResult*) {
                      if (p == 1) return 0u;
                      return gate.pass() ? 0u : kRpcCallFailed;
                    },
                    options));
  std::vector<std::thread> clients;
  std::atomic<int> failed{0};
  for (int i = 0; i < 4; ++i)
    clients.emplace_back([&] {
      if (callCode(0) != 0) ++failed;
    });
  ASSERT_TRUE(gate.waitInside(4));
  EXPECT_EQ(kRpcServerTooBusy, callCode(1));
  EXPECT_EQ(kRpcServerTooBusy, callCode(1));
  gate.release();
  for (auto& t : clients) t.join();
  EXPECT_EQ(0, failed.load());
  EXPECT_EQ(0u, callCode(1));

  // The two threads above the minimum end once idle.
  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (server.threadCount() > 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(2u, server.threadCount());
  EXPECT_EQ(0u, callCode(1));
}

TEST_F(RpcPoolTest, StopReturnsOnlyAfterEveryCallInFlightHasReturned) {
  constexpr int kWaitingOnClient = 4, kPolling = 4, kStubborn = 2;
  std::atomic<int> running{0}, finished{0};
  std::atomic<bool> stubbornDone{false};
  Gate clientGate;  // holds the clients' callback handlers
  RpcServerOptions options;
  options.stopWarnMs = 100000;
  auto server = std::make_unique<RpcServer>();
  ASSERT_EQ(0u, server->start(
                    kTestIf,
                    [&](RpcCall& call, uint16_t p, const uint8_t*, size_t, RpcResult*) {
                      ++running;
                      uint32_t status = 0;
                      if (p == 0) {
                        status = call.callback(0, {});  // the client sits on it: stop() must cut it
                      } else if (p == 1) {
                        while (!call.stopping()) std::this_thread::sleep_for(1ms);
                      } else {
                        std::this_thread::sleep_for(300ms);  // ignores stopping(): waited for
                        stubbornDone = true;
                      }
                      ++finished;
                      --running;
                      return status;
                    },
                    options));

  std::vector<std::thread> clients;
  std::atomic<int> lost{0};
  auto client = [&](uint16_t p) {
    clients.emplace_back([&, p] {
      uint32_t code = callCode(p, {}, [&](uint16_t, const uint8_t*, size_t) {
        clientGate.pass();
        return 0u;
      });
      // A polling call may still finish and be answered in the moment
      // between stopping() turning true and its connection being cut.
      if (code == kRpcCallFailed)
        ++lost;
      else if (!(p == 1 && code == 0))
        ADD_FAILURE() << "procedure " << p << " ended with " << code;
    });
  };
  for (int i = 0; i < kWaitingOnClient; ++i) client(0);
  for (int i = 0; i < kPolling; ++i) client(1);
  ASSERT_TRUE(clientGate.waitInside(kWaitingOnClient));
  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (running < kWaitingOnClient + kPolling && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  for (int i = 0; i < kStubborn; ++i) client(2);
  while (running < kWaitingOnClient + kPolling + kStubborn &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  ASSERT_EQ(kWaitingOnClient + kPolling + kStubborn, running.load());

  server->stop();
  EXPECT_EQ(0, running.load());
  EXPECT_EQ(kWaitingOnClient + kPolling + kStubborn, finished.load());
  EXPECT_TRUE(stubbornDone.load());
  EXPECT_EQ(0u, server->callsInFlight());
  server.reset();  // nothing of it may run after this

  clientGate.release();
  for (auto& t : clients) t.join();
  // The cut calls saw their connection end.
  EXPECT_LE(kWaitingOnClient + kStubborn, lost.load());
  EXPECT_EQ(kRpcServerUnavailable, callCode(1));
}

TEST_F(RpcPoolTest, StopWhileClientsKeepCalling) {
  auto server = std::make_unique<RpcServer>();
  ASSERT_EQ(0u, server->start(kTestIf, [](RpcCall& call, uint16_t, const uint8_t*, size_t,
                                          RpcResult*) { return call.callback(0, {}); }));
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  // One client holds its first callback until stop() has run, so at least
  // that call is surely in flight when the server stops.
  std::atomic<bool> holding{false}, released{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < 8; ++i)
    clients.emplace_back([&, i] {
      bool first = true;
      while (!done) {
        uint32_t code = callCode(0, {}, [&](uint16_t, const uint8_t*, size_t) {
          if (i == 0 && first) {
            first = false;
            holding = true;
            const auto limit = std::chrono::steady_clock::now() + 30s;
            while (!released && std::chrono::steady_clock::now() < limit)
              std::this_thread::sleep_for(1ms);
          }
          return 0u;
        });
        if (code != 0 && code != kRpcCallFailed && code != kRpcServerUnavailable) ++bad;
      }
    });
  const auto limit = std::chrono::steady_clock::now() + 30s;
  while (!holding && std::chrono::steady_clock::now() < limit) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(holding.load());
  EXPECT_GE(server->callsInFlight(), 1u);
  server->stop();
  released = true;
  EXPECT_EQ(0u, server->callsInFlight());
  server.reset();
  done = true;
  for (auto& t : clients) t.join();
  EXPECT_EQ(0, bad.load());
}

}  // namespace
}  // namespace plat::test
