// linkecho: the benchmark echo through the whole road (client, linkhub,
// usblink over the virtual bus, devsim) in a private runtime directory; with
// --usbemu, over usblink's libusb backend against an emulated USB device.
// Prints throughput, request/reply round trips per second beside a bare
// socket pair's in the same run, the ceiling the link window allows at the
// device's frame length, the longest pause between two deliveries and the
// processor time each process spends per round trip. With --devices,
// streams on several devices at once, one client thread each, and weighs the
// result against one device in the same run.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/BenchClient.h"
#include "e2e/Road.h"
#include "plat/handle.h"
#include "plat/msgpipe.h"
#include "plat/process.h"
#ifdef LINKECHO_USBEMU
#include "UsbEmu.h"

using translayer::HwId;
#endif

namespace {

struct Options {
  uint32_t total = 16u << 20;
  uint16_t packet = 1024;
  int frame = 255;
  int transferSize = 4096;
  uint32_t pings = 2000;
  char mode = 'X';
  bool usbemu = false;
  std::vector<int> devices;  // --devices: the device counts to run, in order
  bool totalGiven = false;
};

constexpr double kAimMBps = 5;
constexpr double kAimGapMs = 50;
// Many devices: 16 reach this many times one device, none falls below this
// share of the mean, and no delivery waits longer than this.
constexpr double kAimScale16 = 8;
constexpr double kAimFairShare = 0.8;
constexpr double kAimManyGapMs = 100;
constexpr int kMaxDevices = 64;
constexpr uint32_t kManyDefaultTotal = 4u << 20;

const char* kUsage =
    "usage: linkecho [--total BYTES] [--packet N] [--frame N] [--transfer-size N]\n"
    "                [--pings N] [--mode X|D|U] [--usbemu] [--devices N[,N...]]\n"
    "  --total          bytes of the run (default 16 MiB; per device with --devices, 4 MiB)\n"
    "  --packet         bytes per payload the client sends, 1-1024 (default 1024)\n"
    "  --frame          the device's maximum frame length, 4-255 (default 255)\n"
    "  --transfer-size  the device's link descriptor transfer size (default 4096)\n"
    "  --pings          request/reply round trips to time (default 2000)\n"
    "  --mode           X echo (default), D download, U upload\n"
    "  --usbemu         over libusb to an emulated USB device instead of the virtual bus\n"
    "  --devices        stream on N devices at once, one client thread each, for every N\n"
    "                   of the list (e.g. 1,4,16,32); one device runs first and last as the "
    "baseline\n";

// "1,4,16" to its counts; false on anything else.
bool parseCounts(const std::string& text, std::vector<int>* counts) {
  size_t at = 0;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string part = text.substr(at, comma - at);
    char* end = nullptr;
    const long n = std::strtol(part.c_str(), &end, 10);
    if (part.empty() || !end || *end != 0 || n < 1 || n > kMaxDevices) return false;
    counts->push_back(int(n));
    at = comma + 1;
  }
  return !counts->empty();
}

bool parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--usbemu") {
      o->usbemu = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    char* end = nullptr;
    const unsigned long n = std::strtoul(value.c_str(), &end, 10);
    const bool number = end && *end == 0 && !value.empty();
    if (arg == "--mode" && (value == "X" || value == "D" || value == "U")) {
      o->mode = value[0];
    } else if (arg == "--devices") {
      if (!parseCounts(value, &o->devices)) return false;
    } else if (!number) {
      return false;
    } else if (arg == "--total" && n > 0 && n <= 0xFFFFFFFFul) {
      o->total = uint32_t(n);
      o->totalGiven = true;
    } else if (arg == "--packet" && n >= 1 && n <= 1024) {
      o->packet = uint16_t(n);
    } else if (arg == "--frame" && n >= 4 && n <= 255) {
      o->frame = int(n);
    } else if (arg == "--transfer-size" && n >= 4 && n <= 65535) {
      o->transferSize = int(n);
    } else if (arg == "--pings" && n >= 1) {
      o->pings = uint32_t(n);
    } else {
      return false;
    }
  }
  return true;
}

// The same request/reply of 8 bytes over one bare socket pair (one hop,
// blocking record I/O, a thread on each end): what a hop costs here.
double barePingPongPerSecond(uint32_t count) {
  plat::Handle a = plat::kInvalidHandle, b = plat::kInvalidHandle;
  if (plat::pipePair(&a, &b) != 0 || plat::setBlocking(a, true) != 0 ||
      plat::setBlocking(b, true) != 0)
    return 0;
  std::thread peer([b] {
    uint8_t record[8];
    size_t n = 0;
    while (plat::pipeRead(b, record, sizeof record, &n) == plat::PipeIo::kDone)
      if (plat::pipeWrite(b, record, n, &n) != plat::PipeIo::kDone) return;
  });
  uint8_t record[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  size_t n = 0;
  uint32_t trips = 0;
  const auto start = std::chrono::steady_clock::now();
  for (; trips < count; ++trips) {
    if (plat::pipeWrite(a, record, sizeof record, &n) != plat::PipeIo::kDone ||
        plat::pipeRead(a, record, sizeof record, &n) != plat::PipeIo::kDone)
      break;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  plat::closeHandle(a);
  peer.join();
  plat::closeHandle(b);
  return trips == count && seconds > 0 ? trips / seconds : 0;
}

double cpuSeconds(int pid) {
  double seconds = 0;
  return plat::processCpuSeconds(pid, &seconds) == 0 ? seconds : -1;
}

// Processor time of the three processes of the road: server, device, this
// client.
struct RoadCpu {
  double server = -1, device = -1, client = -1;
};

RoadCpu roadCpu(const e2e::Road& road, int sim) {
  return {cpuSeconds(road.hubPid()), cpuSeconds(road.devsimPid(sim)),
          cpuSeconds(plat::currentProcessId())};
}

double perMB(double before, double after, uint64_t bytes) {
  if (before < 0 || after < 0 || bytes == 0) return -1;
  return (after - before) / (double(bytes) / 1e6);
}

struct ManyResult {
  int devices = 0;
  int failed = 0;  // devices whose run did not end with result 0
  double aggregateMBps = 0;
  double meanMBps = 0, minMBps = 0, maxMBps = 0;
  double longestGapMs = 0;
  double cpuSecondsPerMB = -1;  // the server's
  double deviceCpuPerMB = -1;
  double clientCpuPerMB = -1;
  double coresBusy = -1;  // the three processes' processor time over the wall time
  std::vector<double> perDevice;
};

// Echo of `total` bytes on each of the first `count` devices at once, each
// from its own thread; all start together.
ManyResult streamMany(const e2e::Road& road, int sim, const std::vector<HwId>& ids, int count,
                      uint32_t total, uint16_t packet) {
  ManyResult m;
  m.devices = count;
  std::vector<std::unique_ptr<e2e::BenchClient>> clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<e2e::BenchClient>());
    if (clients.back()->open(ids[size_t(i)]) != 0) {
      m.failed = count;
      return m;
    }
  }
  std::vector<e2e::BenchResult> results(static_cast<size_t>(count));
  std::mutex mutex;
  std::condition_variable go;
  bool started = false;
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      {
        std::unique_lock<std::mutex> lock(mutex);
        go.wait(lock, [&] { return started; });
      }
      results[size_t(i)] =
          clients[size_t(i)]->run(e2e::BenchClient::kEcho, total, packet, uint32_t(i + 1));
    });
  }
  const RoadCpu cpuBefore = roadCpu(road, sim);
  const auto start = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex);
    started = true;
  }
  go.notify_all();
  for (std::thread& t : threads) t.join();
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const RoadCpu cpuAfter = roadCpu(road, sim);
  for (auto& c : clients) c->close();

  uint64_t bytes = 0;
  for (const e2e::BenchResult& r : results) {
    if (r.result != 0) ++m.failed;
    bytes += r.received;
    const double mbps = r.seconds > 0 ? double(r.received) / r.seconds / 1e6 : 0;
    m.perDevice.push_back(mbps);
    m.longestGapMs = std::max(m.longestGapMs, r.longestGapMs);
  }
  m.aggregateMBps = wall > 0 ? double(bytes) / wall / 1e6 : 0;
  double sum = 0;
  for (double v : m.perDevice) sum += v;
  m.meanMBps = sum / count;
  m.minMBps = *std::min_element(m.perDevice.begin(), m.perDevice.end());
  m.maxMBps = *std::max_element(m.perDevice.begin(), m.perDevice.end());
  m.cpuSecondsPerMB = perMB(cpuBefore.server, cpuAfter.server, bytes);
  m.deviceCpuPerMB = perMB(cpuBefore.device, cpuAfter.device, bytes);
  m.clientCpuPerMB = perMB(cpuBefore.client, cpuAfter.client, bytes);
  if (m.cpuSecondsPerMB >= 0 && m.deviceCpuPerMB >= 0 && m.clientCpuPerMB >= 0)
    m.coresBusy = (m.cpuSecondsPerMB + m.deviceCpuPerMB + m.clientCpuPerMB) * m.aggregateMBps;
  return m;
}

int runMany(const Options& o) {
  std::vector<int> counts = o.devices;
  // One device is the baseline every other count is weighed against: run
  // first and again last, the better of the two counting, so that a
  // change in the machine's load during the run does not flatter a ratio.
  counts.erase(std::remove(counts.begin(), counts.end(), 1), counts.end());
  counts.insert(counts.begin(), 1);
  if (counts.size() > 1) counts.push_back(1);
  const int most = *std::max_element(counts.begin(), counts.end());
  const uint32_t total = o.totalGiven ? o.total : kManyDefaultTotal;

  e2e::Road road;
  if (!road.ok() || !road.startHub()) {
    std::cerr << "linkecho: linkhub did not start\n";
    return 1;
  }
  std::vector<e2e::Road::Device> devices;
  std::vector<HwId> ids;
  for (int i = 0; i < most; ++i) {
    devices.push_back({"linkecho" + std::to_string(i), e2e::Road::makeHwId(uint8_t(0x40 + 3 * i))});
    ids.push_back(devices.back().hwid);
  }
  const int sim = road.startDevsim(devices, {"--max-frame", std::to_string(o.frame),
                                             "--transfer-size", std::to_string(o.transferSize)});
  if (sim < 0 || !road.waitOnline(ids)) {
    std::cerr << "linkecho: the devices did not come online\n";
    return 1;
  }
  std::printf(
      "linkecho: echo of %u bytes per device in %u-byte packets on N devices at once, "
      "one client thread each, over the virtual bus (%u processors here)\n",
      total, o.packet, std::thread::hardware_concurrency());
  std::printf("  %8s %12s %12s %12s %12s %10s %11s %12s\n", "devices", "aggregate", "per device",
              "slowest", "fastest", "vs 1 dev", "longest gap", "server CPU");
  std::printf("  %8s %12s %12s %12s %12s %10s %11s %12s\n", "", "MB/s", "mean MB/s", "MB/s", "MB/s",
              "", "ms", "s per MB");
  std::vector<ManyResult> results;
  double one = 0;
  int status = 0;
  for (int count : counts) {
    results.push_back(streamMany(road, sim, ids, count, total, o.packet));
    if (count == 1) one = std::max(one, results.back().aggregateMBps);
  }
  // Printed once all have run, every ratio against the same baseline.
  for (const ManyResult& m : results) {
    if (m.failed != 0) {
      std::printf("  %8d  %d of the devices failed\n", m.devices, m.failed);
      status = 1;
    }
    std::printf("  %8d %12.2f %12.2f %12.2f %12.2f %9.2fx %11.2f %12.4f\n", m.devices,
                m.aggregateMBps, m.meanMBps, m.minMBps, m.maxMBps,
                one > 0 ? m.aggregateMBps / one : 0, m.longestGapMs, m.cpuSecondsPerMB);
  }
  std::printf("  (one device runs first and last; the ratios are against the better, %.2f MB/s)\n",
              one);
  std::printf(
      "  processor seconds per MB of the server / the device process / this client, and\n"
      "  the processors the three kept busy:\n");
  for (const ManyResult& m : results)
    std::printf("  %8d %12.4f %12.4f %12.4f %9.2f\n", m.devices, m.cpuSecondsPerMB,
                m.deviceCpuPerMB, m.clientCpuPerMB, m.coresBusy);
  for (const ManyResult& m : results) {
    if (m.devices == 1) continue;
    std::printf("  per device at %d:", m.devices);
    for (double v : m.perDevice) std::printf(" %.2f", v);
    std::printf("\n");
  }
  for (const ManyResult& m : results) {
    if (m.devices != 16) continue;
    const double scale = one > 0 ? m.aggregateMBps / one : 0;
    const double fair = m.meanMBps > 0 ? m.minMBps / m.meanMBps : 0;
    const bool met = m.failed == 0 && scale >= kAimScale16 && fair >= kAimFairShare &&
                     m.longestGapMs <= kAimManyGapMs;
    std::printf(
        "  aim at 16 devices: %.0fx one device (%.2fx), none below %.1f of the mean "
        "(%.2f), no gap over %.0f ms (%.2f): %s\n",
        kAimScale16, scale, kAimFairShare, fair, kAimManyGapMs, m.longestGapMs,
        met ? "met" : "missed");
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::cerr << kUsage;
    return 2;
  }
  if (!o.devices.empty()) {
    if (o.usbemu || o.mode != 'X') {
      std::cerr << "linkecho: --devices streams the echo over the virtual bus only\n";
      return 2;
    }
    return runMany(o);
  }
#ifdef LINKECHO_USBEMU
  // Before the road and its threads: the test bed needs the preload here.
  if (o.usbemu) usbemu::runUnderPreload(argv);
  // Declared before the road so that the server is stopped before its
  // devices go.
  std::unique_ptr<usbemu::Testbed> bed;
#else
  if (o.usbemu) {
    std::cerr << "linkecho: built without the emulated USB device\n";
    return 2;
  }
#endif
  e2e::Road road;
  const HwId hwid = e2e::Road::makeHwId(0x5A);
#ifdef LINKECHO_USBEMU
  if (o.usbemu) {
    bed = std::make_unique<usbemu::Testbed>();
    usbemu::DeviceSpec spec;
    spec.hwid = hwid;
    spec.transferSize = uint16_t(o.transferSize);
    spec.maxFrameLength = uint16_t(o.frame);
    std::vector<std::string> env = {"-u", "USBLINK_VBUS"};
    for (const std::string& e : bed->childEnvironment()) env.push_back(e);
    if (!road.ok() || !bed->ok() || !bed->plug(spec) || !road.startHub(env)) {
      std::cerr << "linkecho: linkhub did not start on the emulated device\n";
      return 1;
    }
  }
#endif
  int sim = -1;  // over the emulated USB device no devsim runs
  if (!o.usbemu) {
    if (!road.ok() || !road.startHub()) {
      std::cerr << "linkecho: linkhub did not start\n";
      return 1;
    }
    sim =
        road.startDevsim({{"linkecho", hwid}}, {"--max-frame", std::to_string(o.frame),
                                                "--transfer-size", std::to_string(o.transferSize)});
    if (sim < 0) {
      std::cerr << "linkecho: the device did not come online\n";
      return 1;
    }
  }
  if (!road.waitOnline({hwid})) {
    std::cerr << "linkecho: the device did not come online\n";
    return 1;
  }

  // The host never sends frames longer than the transfer allows.
  const int hostFrame = std::min(o.frame, std::min(o.transferSize, 256) - 1);
  const int frameData = hostFrame - 2;

  e2e::BenchClient pinger;
  if (pinger.open(hwid) != 0) {
    std::cerr << "linkecho: cannot open a channel\n";
    return 1;
  }
  const RoadCpu pingCpuBefore = roadCpu(road, sim);
  const e2e::BenchResult ping = pinger.pingPong(o.pings, 8);
  const RoadCpu pingCpuAfter = roadCpu(road, sim);
  pinger.close();
  if (ping.result != 0) {
    std::cerr << "linkecho: request/reply failed with " << ping.result << "\n";
    return 1;
  }
  const double tripsPerSecond = double(ping.roundTrips) / ping.seconds;
  const double tripUs = 1e6 / tripsPerSecond;
  const double bareTripsPerSecond = barePingPongPerSecond(20000);

  e2e::BenchClient bench;
  if (bench.open(hwid) != 0) {
    std::cerr << "linkecho: cannot open a channel\n";
    return 1;
  }
  const e2e::BenchClient::Mode mode = o.mode == 'X'   ? e2e::BenchClient::kEcho
                                      : o.mode == 'D' ? e2e::BenchClient::kDownload
                                                      : e2e::BenchClient::kUpload;
  const e2e::BenchResult r = bench.run(mode, o.total, o.packet);
  bench.close();

  const double mbps = double(r.received) / r.seconds / 1e6;
  // The link lets seven frames be in flight per link round trip.
  const double windowBytes = 7.0 * frameData;
  const double ceiling = windowBytes / (tripUs * 1e-6) / 1e6;
  const double windowUs = r.received > 0 ? windowBytes / (double(r.received) / r.seconds) * 1e6 : 0;
  const bool met = r.result == 0 && mbps >= kAimMBps && r.longestGapMs <= kAimGapMs;
  std::printf(
      "linkecho: mode %c, %u bytes in %u-byte packets, device frames %d bytes (%d data), "
      "transfer size %d, over %s\n",
      o.mode, o.total, o.packet, hostFrame, frameData, o.transferSize,
      o.usbemu ? "libusb to an emulated USB device" : "the virtual bus");
  std::printf("  result          %d\n", r.result);
  std::printf("  throughput      %.2f MB/s (%llu bytes in %.3f s)\n", mbps,
              (unsigned long long)r.received, r.seconds);
  std::printf("  round trips     %.0f /s request/reply (%.1f us each, %llu of 8 bytes)\n",
              tripsPerSecond, tripUs, (unsigned long long)ping.roundTrips);
  // Processor time per round trip in each process: what is work, as against
  // waiting for the hand-offs between threads.
  auto perTrip = [&](double before, double after) {
    return before < 0 || after < 0 || ping.roundTrips == 0
               ? -1.0
               : (after - before) * 1e6 / double(ping.roundTrips);
  };
  std::printf(
      "  per round trip  %.1f us processor time in the server, %.1f in the device process, "
      "%.1f in this client\n",
      perTrip(pingCpuBefore.server, pingCpuAfter.server),
      perTrip(pingCpuBefore.device, pingCpuAfter.device),
      perTrip(pingCpuBefore.client, pingCpuAfter.client));
  std::printf(
      "  bare socket pair %.0f /s request/reply of 8 bytes over one hop (%.1f us each), "
      "in the same run\n",
      bareTripsPerSecond, bareTripsPerSecond > 0 ? 1e6 / bareTripsPerSecond : 0);
  std::printf("  window ceiling  %.2f MB/s: 7 frames x %d bytes per request/reply round trip\n",
              ceiling, frameData);
  std::printf("  stream          one 7-frame window per %.1f us\n", windowUs);
  std::printf("  longest gap     %.2f ms between %llu deliveries (request/reply: %.2f ms)\n",
              r.longestGapMs, (unsigned long long)r.deliveries, ping.longestGapMs);
  std::printf("  aim             %.0f MB/s and no gap over %.0f ms: %s\n", kAimMBps, kAimGapMs,
              met ? "met" : "missed");
  return r.result == 0 ? 0 : 1;
}
