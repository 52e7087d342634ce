// 64 client threads mixing device lists, channel opens, pipe traffic and
// closes against one server for 10 s; afterwards every channel must be free
// and every front end reaped. Runs under ThreadSanitizer in the tsan tree.
// The server keeps its real connect time-out, so a slow client is never
// mistaken for one that left; the pipes nobody connects to go to a device of
// their own, where they hold its channels without starving the others.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>

#include "hub_support.h"
#include "linkhub/TrIfServer.h"
#include "linkhub/TransportManager.h"
#include "plat/threadsafety.h"
#include "translayer/ConnectionServerRpc.h"

using linkhub::TransportManager;
using linkhub::TrIfServer;

using translayer::GetOnlineDevices;
using translayer::HwId;
using translayer::kPipeNameBuffer;
using translayer::OpenChannel;
using translayer::TrIfTranRemote;

using namespace hubtest;

namespace {

constexpr int kThreads = 64;
constexpr auto kRunFor = 10s;
constexpr int kChannels = 15;

class HubConcurrencyTest : public RuntimeDirTest {
 protected:
  void SetUp() override {
    RuntimeDirTest::SetUp();
    plat::setEnvironment("SIMMEDIA_DEVICES",
                         hexOf(ids_[0]) + "," + hexOf(ids_[1]) + "," + hexOf(abandonedId_));
    plat::setEnvironment("SIMMEDIA_CHANNELS", std::to_string(kChannels));
    // A channel closed before its first frame went out is never answered by
    // the device and stays taken for the close time-out: keep that short.
    plat::setEnvironment("SIMMEDIA_CLOSE_TIMEOUT_MS", "300");
    writeRegistry({{"sim", SIMMEDIA_MODULE}});
  }
  const HwId ids_[2] = {makeId(0x21), makeId(0xA1)};
  const HwId abandonedId_ = makeId(0x51);
};

struct Tally {
  std::atomic<long> lists{0}, opens{0}, full{0}, echoes{0}, abandoned{0}, quickCloses{0};
  std::atomic<long> failures{0};
  plat::Mutex mutex;
  std::map<std::string, long> failureCounts GUARDED_BY(mutex);
  void fail(const std::string& what) {
    ++failures;
    plat::LockGuard lock(mutex);
    ++failureCounts[what];
  }
  std::string report() {
    plat::LockGuard lock(mutex);
    std::string text;
    for (const auto& [what, count] : failureCounts)
      text += "\n  " + what + ": " + std::to_string(count) + " times";
    return text;
  }
};

void clientLoop(int seed, const HwId* ids, const HwId& abandonedId,
                std::chrono::steady_clock::time_point end, Tally& t) {
  std::mt19937 rng{uint32_t(seed)};
  plat::RpcBinding binding;
  while (std::chrono::steady_clock::now() < end) {
    const HwId& id = ids[rng() % 2];
    // Weighted: lists 1/4, echoes 2/4, pipes left alone 1/8, quick closes 1/8.
    const unsigned pick = rng() % 8;
    switch (pick < 2 ? 0 : pick < 6 ? 1 : pick < 7 ? 2 : 3) {
      case 0: {
        std::vector<HwId> seen;
        uint32_t exception = 0;
        const int rc = GetOnlineDevices(
            binding, uint64_t(seed),
            [&](uint64_t, const HwId* list, size_t n) { seen.assign(list, list + n); }, &exception);
        if (rc != 0 || seen.size() != 3)
          t.fail("GetOnlineDevices " + std::to_string(rc) + ", " + std::to_string(seen.size()) +
                 " devices");
        ++t.lists;
        break;
      }
      case 1: {
        ClientChannel channel;
        const int rc = channel.open(id);
        if (rc == 3) {
          ++t.full;
          std::this_thread::sleep_for(2ms);
          break;
        }
        if (rc != 0) {
          t.fail("open " + std::to_string(rc));
          break;
        }
        ++t.opens;
        const int messages = 1 + int(rng() % 3);
        for (int m = 0; m < messages; ++m) {
          if (!channel.echo(pattern(1 + rng() % 3000, uint8_t(rng())))) {
            t.fail("echo");
            break;
          }
          ++t.echoes;
        }
        channel.client.close(true);
        break;
      }
      case 2: {
        // A pipe nobody connects to: its front end gives up after the time-out.
        char name[kPipeNameBuffer];
        uint32_t exception = 0;
        const int rc = OpenChannel(binding, &abandonedId, base::kProtocolBenchmark, kPipeNameBuffer,
                                   name, &exception);
        if (rc == 0)
          ++t.abandoned;
        else if (rc == 3) {
          ++t.full;
          std::this_thread::sleep_for(2ms);
        } else
          t.fail("abandoned open " + std::to_string(rc));
        break;
      }
      case 3: {
        ClientChannel channel;
        const int rc = channel.open(id);
        if (rc == 0) {
          channel.send(pattern(rng() % 2000, 1));  // maybe still on its way when we close
          channel.client.close(rng() % 2 == 0);
          ++t.quickCloses;
        } else if (rc == 3) {
          ++t.full;
          std::this_thread::sleep_for(2ms);
        } else {
          t.fail("quick open " + std::to_string(rc));
        }
        break;
      }
    }
  }
}

TEST_F(HubConcurrencyTest, MixedTrafficLeavesEveryChannelFreeAndEveryFrontEndReaped) {
  TransportManager manager;
  ASSERT_TRUE(manager.loadMedia("Veltrano", "linkhub"));
  TrIfServer server(&manager, nullptr);
  ASSERT_TRUE(server.start());
  ASSERT_TRUE(eventually([&] { return manager.onlineDevices().size() == 3; }));

  Tally tally;
  const auto end = std::chrono::steady_clock::now() + kRunFor;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] { clientLoop(i + 1, ids_, abandonedId_, end, tally); });
  for (auto& th : threads) th.join();

  EXPECT_EQ(0, tally.failures.load()) << tally.report();
  EXPECT_GT(tally.echoes.load(), 0);
  EXPECT_GT(tally.lists.load(), 0);
  EXPECT_GT(tally.abandoned.load(), 0);
  std::printf("lists %ld opens %ld echoes %ld abandoned %ld quick %ld full %ld\n",
              tally.lists.load(), tally.opens.load(), tally.echoes.load(), tally.abandoned.load(),
              tally.quickCloses.load(), tally.full.load());

  // Every front end ends (abandoned ones after the connect time-out) and is
  // reaped; every slot is let go.
  EXPECT_TRUE(eventually([&] {
    if (server.frontEndCount() != 0) return false;
    for (const HwId& id : {ids_[0], ids_[1], abandonedId_})
      if (manager.findHandler(id)->attachedCount() != 0) return false;
    return true;
  })) << server.frontEndCount()
      << " front ends left";

  // And every link channel can be had again (a close the device has yet to
  // answer frees its channel within the close time-out).
  for (const HwId& id : {ids_[0], ids_[1], abandonedId_}) {
    std::vector<std::unique_ptr<FakeFrontEnd>> held;
    EXPECT_TRUE(eventually([&] {
      while (held.size() < size_t(kChannels)) {
        auto fe = std::make_unique<FakeFrontEnd>();
        TrIfTranRemote* slot = nullptr;
        if (manager.allocChannel(fe.get(), id, 1, &slot) != 0) return false;
        fe->slot = slot;
        held.push_back(std::move(fe));
      }
      return true;
    })) << held.size();
    FakeFrontEnd extra;
    TrIfTranRemote* slot = nullptr;
    EXPECT_EQ(3, manager.allocChannel(&extra, id, 1, &slot));
    for (auto& fe : held) fe->release();
  }
  server.stop();
  manager.stop();
}

}  // namespace
