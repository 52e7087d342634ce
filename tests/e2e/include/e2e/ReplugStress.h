// The registration stress of the client libraries: worker threads beside a
// device that keeps replugging.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "devsim/DeviceHost.h"

namespace e2e {

// `body(w, stop)` runs on each of `workers` threads until `stop` turns true,
// while `replugging` goes off the bus for 300 ms once a second for `seconds`
// seconds; every worker is joined before this returns.
inline void replugStress(devsim::DeviceHost& replugging, int workers, int seconds,
                         const std::function<void(int, const std::atomic<bool>&)>& body) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < workers; ++w) threads.emplace_back([&, w] { body(w, stop); });
  for (int second = 0; second < seconds; ++second) {
    replugging.replug(300);
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  stop = true;
  for (auto& t : threads) t.join();
}

}  // namespace e2e
