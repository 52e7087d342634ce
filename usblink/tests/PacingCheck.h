// The pacing check shared by the channel tests of every backend: a bus on
// which writes complete at once must not make the channel ask the server in a
// loop.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "FakeServer.h"

namespace usblink::test {

// After one transmit request, on a bus whose writes complete at once: waits
// for two idle periods to pass, then checks from the recorded calls that
// only the request asked in mode 0 and that each idle call came a whole
// period after the one before (a spinning channel asks again at once).
inline void expectOnlyTheRequestAndIdlePeriodsAsk(const FakeServer& server) {
  const auto idleCalls = [&] {
    std::vector<FakeServer::TxCall> idle;
    for (const auto& c : server.txCalls())
      if (c.mode == kMediaTxIdle) idle.push_back(c);
    return idle;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (idleCalls().size() < 2) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no idle periods";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const auto calls = server.txCalls();
  EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                          [](const FakeServer::TxCall& c) { return c.mode == kMediaTxFirst; }),
            1)
      << "only the request asks in mode 0";
  const auto idle = idleCalls();
  for (size_t i = 1; i < idle.size(); ++i)
    EXPECT_GE(idle[i].at - idle[i - 1].at, std::chrono::milliseconds(450)) << "idle call " << i;
}

}  // namespace usblink::test
