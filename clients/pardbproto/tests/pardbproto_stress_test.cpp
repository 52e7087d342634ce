// Registration, unregistration and requests from several threads on two
// devices of the road while one of them replugs every second: no deadlock,
// no race (ThreadSanitizer), and no thread of the library left afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ParDbRecorder.h"
#include "e2e/ReplugStress.h"
#include "e2e/Road.h"
#include "pardbproto/pardbproto.h"

using translayer::HwId;

namespace {

using pardbtest::libraryThreads;
using pardbtest::Recorder;

TEST(PardbprotoStress, RegisterUnregisterAndRequestWhileADeviceReplugs) {
  e2e::Road road;
  ASSERT_TRUE(road.ok());
  ASSERT_TRUE(road.startHub());
  const e2e::Road::Device devices[2] = {{"pstressa", e2e::Road::makeHwId(0x65)},
                                        {"pstressb", e2e::Road::makeHwId(0x75)}};
  devsim::DeviceHost* replugging = road.plugDevice(devices[0]);
  ASSERT_NE(replugging, nullptr);
  ASSERT_NE(road.plugDevice(devices[1]), nullptr);
  EXPECT_TRUE(testsupport::noLibraryThreadsLeft());

  ProtParDBHandle steady = ProtParDBRegister(devices[1].hwid.id, 16, &Recorder::callback);
  const size_t from = Recorder::get().size();
  std::atomic<uint64_t> granted{0};
  e2e::replugStress(*replugging, 4, 8, [&](int w, const std::atomic<bool>& stop) {
    const HwId& id = devices[w % 2].hwid;
    const uint8_t value[3] = {uint8_t(w), 1, 2};
    while (!stop.load()) {
      ProtParDBHandle h = ProtParDBRegister(id.id, 16, w == 0 ? nullptr : &Recorder::callback);
      for (int i = 0; i < 20 && !stop.load(); ++i) {
        if (ProtParDBReqRead(h, 0x000b)) ++granted;
        if (ProtParDBReqWrite(h, 0x0500 + w, value, sizeof value)) ++granted;
        if (ProtParDBReqSignature(steady)) ++granted;
        if (i % 10 == 0 && ProtParDBReqStore(h)) ++granted;
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + w));
      }
      ProtParDBUnRegister(h);
    }
  });
  ProtParDBUnRegister(steady);
  EXPECT_GT(granted.load(), 0u);
  // Requests were answered along the way (the same id's registrations share
  // one handle, which the first unregistration of it ends).
  size_t answered = 0;
  for (size_t i = from; i < Recorder::get().size(); ++i)
    if (Recorder::get().at(int(i)).event >= PROT_PARDB_EVENT_SIGNATURE) ++answered;
  EXPECT_GT(answered, 0u);
  EXPECT_TRUE(testsupport::noLibraryThreadsLeft());
}

}  // namespace
