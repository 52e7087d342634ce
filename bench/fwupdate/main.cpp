// fwupdate: the time to update a device with a 1 MiB package through the
// whole road (worker, devmgr and fsproto, linkhub, usblink over the virtual
// bus, an emulated device), from "Download" to the device back online with
// the new version, and the file download's MB/s within the same run.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>

#include "DeviceOnBus.h"
#include "DevicePorts.h"
#include "PackageWriter.h"
#include "e2e/Road.h"
#include "fwflash/CommMgr.h"

using translayer::HwId;

using namespace fwflash;
using Clock = std::chrono::steady_clock;

namespace {

class Timeline : public UpdaterEventSink {
 public:
  void post(std::unique_ptr<UpdaterEvent> e) override {
    std::lock_guard<std::mutex> lock(mutex);
    const auto now = Clock::now();
    if (e->code == kEventProgress) {
      if (!firstProgress) firstProgress = now;
      if (e->progress >= 1.0f && !fullProgress) fullProgress = now;
    }
    if (e->code == kEventOperationEnd) {
      ended = now;
      ok = e->ok;
    }
    if (e->code == kEventVersion)
      version = std::string(e->text.begin(), e->text.end()), versionAt = now;
    cv.notify_all();
  }
  template <typename Pred>
  bool wait(Pred pred, int seconds) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::seconds(seconds), [&] { return pred(); });
  }

  std::mutex mutex;
  std::condition_variable cv;
  std::optional<Clock::time_point> firstProgress, fullProgress, ended, versionAt;
  int ok = -1;
  std::string version;
};

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main() {
  e2e::Road road;
  if (!road.ok() || !road.startHub()) {
    std::fprintf(stderr, "fwupdate: the server did not start\n");
    return 1;
  }
  const HwId hwid = e2e::Road::makeHwId(0x70);
  testing::DeviceOnBus device(road.vbusDir(), "fwbench", hwid, road.baseDir() + "/storage");
  if (!device.plugIn() || !road.waitOnline({hwid})) {
    std::fprintf(stderr, "fwupdate: the device did not come online\n");
    return 1;
  }

  std::vector<uint8_t> image(1u << 20);
  std::mt19937 gen(7);
  for (auto& b : image) b = uint8_t(gen());
  testing::PackageWriter writer;
  writer.add({.tag = testing::tagOf("boot"), .data = image});
  writer.add({.tag = testing::tagOf("midd"),
              .data = testing::bytesOf(testing::moduleXml("9.0.0", "kn-main", "rev-b", "bench")),
              .compression = 1});
  const std::vector<uint8_t> package = writer.bytes();

  DevmgrDevice devmgr;
  FsprotoFileServer fsproto;
  Timeline timeline;
  CommMgrOptions options;
  options.tempDir = road.runtimeDir();
  CommMgr worker(devmgr, fsproto, timeline, options);
  worker.setHwId(std::vector<uint8_t>(hwid.id, hwid.id + 16));
  worker.start();
  if (!timeline.wait([&] { return timeline.version == "1.8.0"; }, 30)) {
    std::fprintf(stderr, "fwupdate: the worker did not connect\n");
    return 1;
  }

  const auto start = Clock::now();
  worker.pushCommand({kCommandUpgrade, "root", "fw.xpk", package});
  const bool ended = timeline.wait([&] { return timeline.ended.has_value(); }, 600);
  const bool back = ended && timeline.wait([&] { return timeline.version == "9.0.0"; }, 60);
  worker.pushCommand({kCommandQuit, {}, {}, {}});
  worker.join();
  if (!ended || timeline.ok != 1 || !back) {
    std::fprintf(stderr, "fwupdate: the update did not complete\n");
    return 1;
  }
  std::lock_guard<std::mutex> lock(timeline.mutex);
  const double transferMs = ms(*timeline.fullProgress - *timeline.firstProgress);
  std::printf("package          %zu bytes\n", package.size());
  std::printf("download         %.2f MB/s (%.0f ms from the first to the last progress event)\n",
              double(package.size()) / 1e6 / (transferMs / 1e3), transferMs);
  std::printf("operation end    %.0f ms after Download\n", ms(*timeline.ended - start));
  std::printf("update complete  %.0f ms after Download (device back with the new version)\n",
              ms(*timeline.versionAt - start));
  return 0;
}
