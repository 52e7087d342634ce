// Unloading fsproto with a transfer still running: the library's cleanup
// ends it (-108, its one outcome), closes its channel and waits for its
// threads. The library is loaded by path so that unloading really runs its
// destructors.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>

#include "devsim/FileServerService.h"
#include "fsproto/fsproto.h"
#include "plat/dynlib.h"
#include "plat/runtime.h"
#include "testsupport/FakeHub.h"

using translayer::HwId;

namespace {

using Dir = decltype(&ProtFSrvDir);  // the type only: it is not linked

std::atomic<int> outcomes{0};
std::atomic<int> lastCode{0};

void onEvent(void*, int event, const void* data, size_t length) {
  if (event != 1 && event != 2) return;
  int32_t code = 0;
  if (length == 4) std::memcpy(&code, data, 4);
  lastCode = code;
  ++outcomes;
}

TEST(FsprotoUnload, UnloadingEndsARunningTransferOnce) {
  const std::string runtime = plat::makeTempDir("fsproto-unload-");
  ASSERT_FALSE(runtime.empty());
  plat::setEnvironment("LINKHUB_RUNTIME_DIR", runtime);
  {
    devmgr_test::FakeHub hub;
    ASSERT_TRUE(hub.started());
    HwId id;
    for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(0xB0 + i);
    auto state = std::make_shared<devsim::FileServerState>();
    devsim::FileServerFaults silent;
    silent.silent = true;
    state->setFaults(silent);
    hub.addDevice(id, devsim::FileServerService::factory(state));

    std::string error;
    plat::LibraryHandle lib = plat::loadLibrary(FSPROTO_LIBRARY, &error);
    ASSERT_NE(lib, nullptr) << error;
    auto dir = reinterpret_cast<Dir>(plat::findSymbol(lib, "ProtFSrvDir"));
    ASSERT_NE(dir, nullptr);
    ASSERT_TRUE(dir(id.id, 16, &onEvent, nullptr, "root"));
    EXPECT_EQ(outcomes.load(), 0);

    plat::freeLibrary(lib);
    EXPECT_EQ(outcomes.load(), 1);
    EXPECT_EQ(lastCode.load(), -108);
    EXPECT_TRUE(hub.waitChannelsEnded(1));
  }
  std::error_code ec;
  std::filesystem::remove_all(runtime, ec);
}

}  // namespace
