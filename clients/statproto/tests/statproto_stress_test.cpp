// Registration, unregistration and requests from several threads on two
// devices of the road while one of them replugs every second: no deadlock,
// no race (ThreadSanitizer), and no thread of the library left afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "StatusRecorder.h"
#include "e2e/ReplugStress.h"
#include "e2e/Road.h"
#include "plat/thread.h"
#include "statproto/statproto.h"

using translayer::HwId;

namespace {

using stattest::libraryThreads;
using stattest::Recorder;

TEST(StatprotoStress, RegisterUnregisterAndRequestWhileADeviceReplugs) {
  e2e::Road road;
  ASSERT_TRUE(road.ok());
  ASSERT_TRUE(road.startHub());
  const e2e::Road::Device devices[2] = {{"stressa", e2e::Road::makeHwId(0x61)},
                                        {"stressb", e2e::Road::makeHwId(0x71)}};
  devsim::DeviceHost* replugging = road.plugDevice(devices[0]);
  ASSERT_NE(replugging, nullptr);
  ASSERT_NE(road.plugDevice(devices[1]), nullptr);
  EXPECT_TRUE(testsupport::noLibraryThreadsLeft());

  // One registration lives through the whole run, so the handler keeps
  // running while the others come and go.
  ProtStatusHandle steady = ProtStatusRegister(devices[1].hwid.id, 16, &Recorder::callback);
  std::atomic<uint64_t> granted{0};
  e2e::replugStress(*replugging, 4, 8, [&](int w, const std::atomic<bool>& stop) {
    const HwId& id = devices[w % 2].hwid;
    while (!stop.load()) {
      ProtStatusHandle h = ProtStatusRegister(id.id, 16, w == 0 ? nullptr : &Recorder::callback);
      for (int i = 0; i < 20 && !stop.load(); ++i) {
        if (ProtStatusReqNotifications(h)) ++granted;
        if (ProtStatusReqSignature(h)) ++granted;
        if (ProtStatusReqNotifications(steady)) ++granted;
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + w));
      }
      ProtStatusUnRegister(h);
    }
  });
  ProtStatusUnRegister(steady);
  EXPECT_GT(granted.load(), 0u);
  // The last unregistration joined the handler and closed every channel.
  EXPECT_TRUE(testsupport::noLibraryThreadsLeft());
}

}  // namespace
