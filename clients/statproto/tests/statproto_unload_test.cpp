// Unloading statproto with a device still registered and connected: the
// library's destructor stops its handler and closes the channel without a
// word to the application, and leaves no thread behind. The library is
// loaded by path so that unloading really runs its destructors.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "StatusRecorder.h"
#include "devsim/StatusService.h"
#include "plat/dynlib.h"
#include "plat/runtime.h"
#include "plat/thread.h"
#include "testsupport/FakeHub.h"

using translayer::HwId;

namespace {

using Register = decltype(&ProtStatusRegister);  // the type only: it is not linked

std::atomic<int> ups{0}, downs{0};

void onEvent(ProtStatusHandle, uint64_t event, const void*, uint64_t) {
  if (event == 1) ++ups;
  if (event == 0) ++downs;
}

using stattest::libraryThreads;

TEST(StatprotoUnload, UnloadingClosesEverythingWithoutCallingTheApplication) {
  const std::string runtime = plat::makeTempDir("statproto-unload-");
  ASSERT_FALSE(runtime.empty());
  plat::setEnvironment("LINKHUB_RUNTIME_DIR", runtime);
  {
    devmgr_test::FakeHub hub;
    ASSERT_TRUE(hub.started());
    HwId id;
    for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(0xA0 + i);
    auto state = std::make_shared<devsim::StatusState>();
    hub.addDevice(id, devsim::StatusService::factory(state));

    std::string error;
    plat::LibraryHandle lib = plat::loadLibrary(STATPROTO_LIBRARY, &error);
    ASSERT_NE(lib, nullptr) << error;
    auto registerDevice = reinterpret_cast<Register>(plat::findSymbol(lib, "ProtStatusRegister"));
    ASSERT_NE(registerDevice, nullptr);
    ASSERT_NE(registerDevice(id.id, 16, &onEvent), nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ups.load() == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(ups.load(), 1);
    EXPECT_GE(libraryThreads(), 2u);

    plat::freeLibrary(lib);
    EXPECT_EQ(downs.load(), 0) << "the application was called at unload";
    EXPECT_TRUE(testsupport::noLibraryThreadsLeft());
    EXPECT_TRUE(hub.waitChannelsEnded(1));
  }
  std::error_code ec;
  std::filesystem::remove_all(runtime, ec);
}

}  // namespace
