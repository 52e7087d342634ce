// Registration, unregistration and requests from several threads on two
// devices of the road while one of them replugs every second: no deadlock,
// no race (ThreadSanitizer), every request answered or given up, and no
// thread of the library left afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ScopeRecorder.h"
#include "e2e/ReplugStress.h"
#include "e2e/Road.h"
#include "plat/thread.h"
#include "scopeproto/scopeproto.h"

using translayer::HwId;

namespace {

using scopetest::libraryThreads;
using scopetest::Recorder;

TEST(ScopeprotoStress, RegisterUnregisterAndRequestWhileADeviceReplugs) {
  e2e::Road road;
  ASSERT_TRUE(road.ok());
  ASSERT_TRUE(road.startHub());
  const e2e::Road::Device devices[2] = {{"sstressa", e2e::Road::makeHwId(0x81)},
                                        {"sstressb", e2e::Road::makeHwId(0x91)}};
  devsim::DeviceHost* replugging = road.plugDevice(devices[0]);
  ASSERT_NE(replugging, nullptr);
  devsim::DeviceHost* steadyDevice = road.plugDevice(devices[1]);
  ASSERT_NE(steadyDevice, nullptr);
  for (devsim::DeviceHost* d : {replugging, steadyDevice}) d->scope().setCaptureSize(20000);
  EXPECT_TRUE(testsupport::noLibraryThreadsLeft());

  // One registration lives through the whole run, so the handler keeps
  // running while the others come and go.
  ProtDigScopeHandle steady = ProtDigScopeRegister(devices[1].hwid.id, 16, &Recorder::callback);
  std::atomic<uint64_t> answered{0}, odd{0};
  e2e::replugStress(*replugging, 4, 8, [&](int w, const std::atomic<bool>& stop) {
    const HwId& id = devices[w % 2].hwid;
    while (!stop.load()) {
      ProtDigScopeHandle h =
          ProtDigScopeRegister(id.id, 16, w == 0 ? nullptr : &Recorder::callback);
      for (int i = 0; i < 20 && !stop.load(); ++i) {
        // Each result is the device's answer or the broken link, never
        // anything else.
        for (ScopeResult r : {ProtDigScopeAddChannel(h, 3, 0.01f), ProtDigScopeArm(h),
                              ProtDigScopeReqRawData(steady), ProtDigScopeCancel(steady)}) {
          if (r == PROT_DIGSCOPE_BROKEN_LINK) continue;
          ++answered;
          if (r > 16) ++odd;
        }
        uint8_t sig[16];
        if (ProtDigScopeGetSignature(h, sig)) ++answered;
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + w));
      }
      ProtDigScopeUnRegister(h);
    }
  });
  ProtDigScopeUnRegister(steady);
  EXPECT_GT(answered.load(), 0u);
  EXPECT_EQ(odd.load(), 0u);
  // The last unregistration joined the handler and closed every channel.
  EXPECT_TRUE(testsupport::noLibraryThreadsLeft());
}

}  // namespace
