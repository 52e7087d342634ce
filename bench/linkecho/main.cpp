// linkecho: the benchmark echo through the whole road (client, linkhub,
// usblink over the virtual bus, devsim) in a private runtime directory; with
// --usbemu, over usblink's libusb backend against an emulated USB device.
// Prints throughput, request/reply round trips per second, the ceiling the
// link window allows at the device's frame length, and the longest pause
// between two deliveries.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "e2e/BenchClient.h"
#include "e2e/Road.h"
#ifdef LINKECHO_USBEMU
#include "UsbEmu.h"
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
};

constexpr double kAimMBps = 5;
constexpr double kAimGapMs = 50;

const char* kUsage =
    "usage: linkecho [--total BYTES] [--packet N] [--frame N] [--transfer-size N]\n"
    "                [--pings N] [--mode X|D|U] [--usbemu]\n"
    "  --total          bytes of the run (default 16 MiB)\n"
    "  --packet         bytes per payload the client sends, 1-1024 (default 1024)\n"
    "  --frame          the device's maximum frame length, 4-255 (default 255)\n"
    "  --transfer-size  the device's link descriptor transfer size (default 4096)\n"
    "  --pings          request/reply round trips to time (default 2000)\n"
    "  --mode           X echo (default), D download, U upload\n"
    "  --usbemu         over libusb to an emulated USB device instead of the virtual bus\n";

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
    } else if (!number) {
      return false;
    } else if (arg == "--total" && n > 0 && n <= 0xFFFFFFFFul) {
      o->total = uint32_t(n);
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

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::cerr << kUsage;
    return 2;
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
  if (!o.usbemu) {
    if (!road.ok() || !road.startHub()) {
      std::cerr << "linkecho: linkhub did not start\n";
      return 1;
    }
    if (road.startDevsim({{"linkecho", hwid}}, {"--max-frame", std::to_string(o.frame),
                                                "--transfer-size", std::to_string(o.transferSize)}) < 0) {
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
  const e2e::BenchResult ping = pinger.pingPong(o.pings, 8);
  pinger.close();
  if (ping.result != 0) {
    std::cerr << "linkecho: request/reply failed with " << ping.result << "\n";
    return 1;
  }
  const double tripsPerSecond = double(ping.roundTrips) / ping.seconds;
  const double tripUs = 1e6 / tripsPerSecond;

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
  std::printf("linkecho: mode %c, %u bytes in %u-byte packets, device frames %d bytes (%d data), "
              "transfer size %d, over %s\n",
              o.mode, o.total, o.packet, hostFrame, frameData, o.transferSize,
              o.usbemu ? "libusb to an emulated USB device" : "the virtual bus");
  std::printf("  result          %d\n", r.result);
  std::printf("  throughput      %.2f MB/s (%llu bytes in %.3f s)\n", mbps,
              (unsigned long long)r.received, r.seconds);
  std::printf("  round trips     %.0f /s request/reply (%.1f us each, %llu of 8 bytes)\n",
              tripsPerSecond, tripUs, (unsigned long long)ping.roundTrips);
  std::printf("  window ceiling  %.2f MB/s: 7 frames x %d bytes per request/reply round trip\n",
              ceiling, frameData);
  std::printf("  stream          one 7-frame window per %.1f us\n", windowUs);
  std::printf("  longest gap     %.2f ms between %llu deliveries (request/reply: %.2f ms)\n",
              r.longestGapMs, (unsigned long long)r.deliveries, ping.longestGapMs);
  std::printf("  aim             %.0f MB/s and no gap over %.0f ms: %s\n", kAimMBps, kAimGapMs,
              met ? "met" : "missed");
  return r.result == 0 ? 0 : 1;
}
