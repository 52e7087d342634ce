// scopebench: raw capture data through the whole road (scopeproto, linkhub,
// usblink over the virtual bus, a device of this process), printed beside
// the benchmark echo's round-trip rate and throughput measured in the same
// run on the same device, so the capture figure reads against what the link
// itself carries.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>

#include "e2e/BenchClient.h"
#include "e2e/Road.h"
#include "scopeproto/scopeproto.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kCapture = 8u << 20;
constexpr int kRuns = 3;

struct Events {
  std::mutex mutex;
  std::condition_variable cv;
  bool up = false;
  int valid = 0;
  int results = 0;
  uint32_t lastSize = 0;
  Clock::time_point lastAt;
} events;

void callback(ProtDigScopeHandle, uint64_t event, const void* data, uint64_t length) {
  std::lock_guard<std::mutex> lock(events.mutex);
  if (event == PROT_DIGSCOPE_EVENT_UP) events.up = true;
  if (event == PROT_DIGSCOPE_EVENT_STATUS && length == sizeof(ProtDigScopeStatus) &&
      static_cast<const ProtDigScopeStatus*>(data)->state == 3)
    ++events.valid;
  if (event == PROT_DIGSCOPE_EVENT_RAW && length == sizeof(ProtDigScopeRawResult)) {
    ++events.results;
    events.lastSize = static_cast<const ProtDigScopeRawResult*>(data)->size;
    events.lastAt = Clock::now();
  }
  events.cv.notify_all();
}

template <typename Pred>
bool waitFor(Pred pred) {
  std::unique_lock<std::mutex> lock(events.mutex);
  return events.cv.wait_for(lock, std::chrono::seconds(60), pred);
}

}  // namespace

int main() {
  e2e::Road road;
  if (!road.ok() || !road.startHub()) {
    std::cerr << "scopebench: linkhub did not start\n";
    return 1;
  }
  const e2e::Road::Device device{"scopebench", e2e::Road::makeHwId(0x7C)};
  devsim::HostOptions options;
  options.scope.captureSize = kCapture;
  options.scope.stepMs = 1;
  if (!road.plugDevice(device, options)) {
    std::cerr << "scopebench: the device did not come online\n";
    return 1;
  }

  e2e::BenchClient pinger;
  if (pinger.open(device.hwid) != 0) return 1;
  const e2e::BenchResult ping = pinger.pingPong(2000, 8);
  pinger.close();
  e2e::BenchClient bench;
  if (bench.open(device.hwid) != 0) return 1;
  const e2e::BenchResult echo = bench.run(e2e::BenchClient::kEcho, kCapture, 1024);
  bench.close();
  if (ping.result != 0 || echo.result != 0) {
    std::cerr << "scopebench: the benchmark echo failed\n";
    return 1;
  }

  ProtDigScopeHandle h = ProtDigScopeRegister(device.hwid.id, 16, callback);
  if (!waitFor([] { return events.up; }) || ProtDigScopeAddChannel(h, 3, 0.001f) != 0 ||
      ProtDigScopeAddChannel(h, 1, 0.001f) != 0 || ProtDigScopeArm(h) != 0 ||
      !waitFor([] { return events.valid > 0; })) {
    std::cerr << "scopebench: the capture did not become valid\n";
    ProtDigScopeUnRegister(h);
    return 1;
  }
  double best = 0, total = 0;
  bool ok = true;
  for (int run = 0; run < kRuns && ok; ++run) {
    const int before = events.results;
    const Clock::time_point begin = Clock::now();
    ok = ProtDigScopeReqRawData(h) == 0 && waitFor([before] { return events.results > before; }) &&
         events.lastSize == kCapture;
    const double seconds = std::chrono::duration<double>(events.lastAt - begin).count();
    const double mbps = double(kCapture) / seconds / 1e6;
    total += mbps;
    if (mbps > best) best = mbps;
  }
  ProtDigScopeUnRegister(h);
  if (!ok) {
    std::cerr << "scopebench: a raw data request failed\n";
    return 1;
  }

  const double tripUs = ping.seconds * 1e6 / double(ping.roundTrips);
  std::printf("scopebench: capture of %u bytes, device frames 255 bytes\n", kCapture);
  std::printf("  echo round trips  %.0f /s (%.1f us each, 8-byte packets)\n", 1e6 / tripUs, tripUs);
  std::printf("  echo              %.2f MB/s (%u bytes)\n", double(echo.received) / echo.seconds / 1e6,
              kCapture);
  std::printf("  raw capture       %.2f MB/s mean of %d, best %.2f MB/s (device to client)\n",
              total / kRuns, kRuns, best);
  return 0;
}
