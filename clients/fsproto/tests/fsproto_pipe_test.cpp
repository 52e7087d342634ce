// A server that names a channel pipe nobody serves: the transfer never
// counts as started, and the failure comes on the caller's thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "devsim/FileServerService.h"
#include "fsproto/fsproto.h"
#include "plat/runtime.h"
#include "testsupport/FakeHub.h"

using translayer::HwId;

namespace {

struct Seen {
  int events = 0;
  int32_t code = 0;
  std::thread::id thread;
};

void onEvent(void* user, int event, const void* data, size_t length) {
  auto* seen = static_cast<Seen*>(user);
  ++seen->events;
  seen->thread = std::this_thread::get_id();
  if ((event == 1 || event == 2) && length == 4) std::memcpy(&seen->code, data, 4);
}

TEST(FsprotoPipe, PipeThatNeverConnectsIsNoChannel) {
  const std::string runtime = plat::makeTempDir("fsproto-pipe-");
  ASSERT_FALSE(runtime.empty());
  plat::setEnvironment("LINKHUB_RUNTIME_DIR", runtime);
  {
    devmgr_test::FakeHub hub;
    ASSERT_TRUE(hub.started());
    HwId id;
    for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(0xC0 + i);
    hub.addDevice(id,
                  devsim::FileServerService::factory(std::make_shared<devsim::FileServerState>()));
    hub.setNameWithoutPipe(true);
    Seen seen;
    EXPECT_FALSE(ProtFSrvDir(id.id, 16, onEvent, &seen, "root"));
    EXPECT_EQ(seen.events, 1);
    EXPECT_EQ(seen.code, -107);
    EXPECT_EQ(seen.thread, std::this_thread::get_id());
    ProtFSrvCleanup();
    EXPECT_EQ(seen.events, 1);
  }
  std::error_code ec;
  std::filesystem::remove_all(runtime, ec);
}

}  // namespace
