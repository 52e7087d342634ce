// pardbbench: parameter reads per second through the whole road (pardbproto,
// linkhub, usblink over the virtual bus, the devsim program), one at a time
// and with several outstanding, beside the benchmark echo's round-trip rate
// and throughput measured in the same run.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>

#include "e2e/BenchClient.h"
#include "e2e/Road.h"
#include "pardbproto/pardbproto.h"

using translayer::HwId;

namespace {

using Clock = std::chrono::steady_clock;

struct Counter {
  std::mutex mutex;
  std::condition_variable cv;
  uint64_t reads = 0;
  uint64_t wrongValues = 0;
  bool up = false;
  bool down = false;
} counter;

void callback(ProtParDBHandle, uint64_t event, const void* data, uint64_t length) {
  std::lock_guard<std::mutex> lock(counter.mutex);
  if (event == PROT_PARDB_EVENT_UP) counter.up = true;
  if (event == PROT_PARDB_EVENT_DOWN) counter.down = true;
  if (event == PROT_PARDB_EVENT_READ && length == sizeof(ProtParDBReadResult)) {
    // devsim's default 0x000b: de ad be ef.
    const auto* read = static_cast<const ProtParDBReadResult*>(data);
    if (read->length != 4 || read->data[0] != 0xde) ++counter.wrongValues;
    ++counter.reads;
  }
  counter.cv.notify_all();
}

// Reads of index 0x000b with at most `window` outstanding; reads per second,
// or a negative value when the channel failed.
double readRate(ProtParDBHandle h, uint64_t total, uint64_t window) {
  uint64_t base;
  {
    std::lock_guard<std::mutex> lock(counter.mutex);
    base = counter.reads;
  }
  const Clock::time_point begin = Clock::now();
  uint64_t sent = 0;
  std::unique_lock<std::mutex> lock(counter.mutex);
  while (counter.reads - base < total) {
    if (counter.down) return -1;
    if (sent < total && sent - (counter.reads - base) < window) {
      lock.unlock();
      if (!ProtParDBReqRead(h, 0x000b)) return -1;
      ++sent;
      lock.lock();
      continue;
    }
    if (!counter.cv.wait_for(lock, std::chrono::seconds(10), [&] {
          return counter.down || counter.reads - base >= total ||
                 (sent < total && sent - (counter.reads - base) < window);
        }))
      return -1;
  }
  return double(total) / std::chrono::duration<double>(Clock::now() - begin).count();
}

}  // namespace

int main() {
  e2e::Road road;
  if (!road.ok() || !road.startHub()) {
    std::cerr << "pardbbench: linkhub did not start\n";
    return 1;
  }
  const HwId hwid = e2e::Road::makeHwId(0x6D);
  if (road.startDevsim({{"pardbbench", hwid}}) < 0 || !road.waitOnline({hwid})) {
    std::cerr << "pardbbench: the device did not come online\n";
    return 1;
  }

  // The link: request/reply round trips and the echo stream.
  e2e::BenchClient pinger;
  if (pinger.open(hwid) != 0) return 1;
  const e2e::BenchResult ping = pinger.pingPong(2000, 8);
  pinger.close();
  e2e::BenchClient bench;
  if (bench.open(hwid) != 0) return 1;
  const e2e::BenchResult echo = bench.run(e2e::BenchClient::kEcho, 8u << 20, 1024);
  bench.close();
  if (ping.result != 0 || echo.result != 0) {
    std::cerr << "pardbbench: the benchmark echo failed\n";
    return 1;
  }
  const double tripsPerSecond = double(ping.roundTrips) / ping.seconds;
  const double echoMBps = double(echo.received) / echo.seconds / 1e6;

  ProtParDBHandle h = ProtParDBRegister(hwid.id, 16, callback);
  {
    std::unique_lock<std::mutex> lock(counter.mutex);
    if (!counter.cv.wait_for(lock, std::chrono::seconds(30), [] { return counter.up; })) {
      std::cerr << "pardbbench: no channel\n";
      return 1;
    }
  }
  const double single = readRate(h, 2000, 1);
  const double windowed = readRate(h, 20000, 32);
  ProtParDBUnRegister(h);
  if (single < 0 || windowed < 0 || counter.wrongValues) {
    std::cerr << "pardbbench: the reads failed\n";
    return 1;
  }
  std::printf("pardbbench: device frames 255 bytes, parameter of 4 bytes\n");
  std::printf("  echo round trips   %.0f /s (8-byte packets, one at a time)\n", tripsPerSecond);
  std::printf("  echo throughput    %.2f MB/s\n", echoMBps);
  std::printf("  parameter reads    %.0f /s (one at a time)\n", single);
  std::printf("  parameter reads    %.0f /s (32 outstanding)\n", windowed);
  return 0;
}
