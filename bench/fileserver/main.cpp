// fsbench: file download and upload through the whole road (fsproto,
// linkhub, usblink over the virtual bus, the devsim program), beside the
// benchmark echo and the link window ceiling of the same run, so the file
// figures can be read against what the link itself carries.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "e2e/BenchClient.h"
#include "e2e/Road.h"
#include "fsproto/fsproto.h"

using translayer::HwId;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kTotal = 16u << 20;

struct Outcome {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  int event = 0;
  int32_t value = 0;
  Clock::time_point at;

  static void callback(void* user, int event, const void* data, size_t length) {
    if (event != FSRV_EVENT_FINISHED && event != FSRV_EVENT_FAILED) return;
    auto* self = static_cast<Outcome*>(user);
    std::lock_guard<std::mutex> lock(self->mutex);
    if (length == 4) std::memcpy(&self->value, data, 4);
    self->event = event;
    self->at = Clock::now();
    self->done = true;
    self->cv.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [this] { return done; });
  }
};

// Runs one transfer; MB/s, or a negative value on failure (printed).
template <typename Start>
double timed(const char* what, Start start) {
  Outcome outcome;
  const Clock::time_point begin = Clock::now();
  if (!start(&outcome)) {
    outcome.wait();
    std::fprintf(stderr, "fsbench: %s did not start: %d\n", what, outcome.value);
    return -1;
  }
  outcome.wait();
  if (outcome.event != FSRV_EVENT_FINISHED) {
    std::fprintf(stderr, "fsbench: %s failed: %d\n", what, outcome.value);
    return -1;
  }
  const double seconds = std::chrono::duration<double>(outcome.at - begin).count();
  return double(kTotal) / seconds / 1e6;
}

}  // namespace

int main() {
  e2e::Road road;
  if (!road.ok() || !road.startHub()) {
    std::cerr << "fsbench: linkhub did not start\n";
    return 1;
  }
  const HwId hwid = e2e::Road::makeHwId(0x6B);
  const fs::path storage = fs::path(road.baseDir()) / "storage";
  if (road.startDevsim({{"fsbench", hwid}}, {"--storage", storage.string()}) < 0 ||
      !road.waitOnline({hwid})) {
    std::cerr << "fsbench: the device did not come online\n";
    return 1;
  }
  const int frameData = 255 - 2;

  // The link: request/reply round trips and the echo stream.
  e2e::BenchClient pinger;
  if (pinger.open(hwid) != 0) return 1;
  const e2e::BenchResult ping = pinger.pingPong(2000, 8);
  pinger.close();
  e2e::BenchClient bench;
  if (bench.open(hwid) != 0) return 1;
  const e2e::BenchResult echo = bench.run(e2e::BenchClient::kEcho, kTotal, 1024);
  bench.close();
  if (ping.result != 0 || echo.result != 0) {
    std::cerr << "fsbench: the benchmark echo failed\n";
    return 1;
  }
  const double tripUs = ping.seconds * 1e6 / double(ping.roundTrips);
  const double ceiling = 7.0 * frameData / (tripUs * 1e-6) / 1e6;
  const double echoMBps = double(echo.received) / echo.seconds / 1e6;

  // The files.
  const fs::path source = fs::path(road.baseDir()) / "source.bin";
  const fs::path back = fs::path(road.baseDir()) / "back.bin";
  {
    std::vector<char> bytes(kTotal);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 2654435761u >> 24);
    std::ofstream(source, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
  }
  const double down = timed("download", [&](Outcome* o) {
    return ProtFSrvDownload(hwid.id, 16, Outcome::callback, o, "root", source.c_str(), "bench.bin",
                            0);
  });
  const double up = timed("upload", [&](Outcome* o) {
    return ProtFSrvUpload(hwid.id, 16, Outcome::callback, o, "root", "bench.bin", back.c_str());
  });
  ProtFSrvCleanup();
  const bool same = fs::exists(back) && fs::file_size(back) == kTotal;

  std::printf("fsbench: %u bytes, device frames 255 bytes (%d data)\n", kTotal, frameData);
  std::printf(
      "  window ceiling  %.2f MB/s: 7 frames x %d bytes per request/reply round trip (%.1f us)\n",
      ceiling, frameData, tripUs);
  std::printf("  echo            %.2f MB/s\n", echoMBps);
  std::printf("  file download   %.2f MB/s (PC to device, one 1024-byte window)\n", down);
  std::printf("  file upload     %.2f MB/s (device to PC)%s\n", up, same ? "" : ", size wrong");
  return down > 0 && up > 0 && same ? 0 : 1;
}
