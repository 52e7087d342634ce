// The directory watcher the virtual bus discovers devices with.
#include "plat/inotify.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "plat/poll.h"
#include "plat/runtime.h"

namespace fs = std::filesystem;

namespace {

// Waits for changes and collects them until `count` have come.
std::vector<plat::DirWatch::Change> collect(plat::DirWatch& watch, size_t count, bool* alive) {
  std::vector<plat::DirWatch::Change> changes;
  *alive = true;
  while (changes.size() < count && *alive) {
    plat::PollItem item{watch.handle(), plat::kPollRead, 0};
    if (plat::pollHandles(&item, 1, 5000) != 1) break;
    bool overflowed = false;
    *alive = watch.read(&changes, &overflowed);
    EXPECT_FALSE(overflowed);
  }
  return changes;
}

TEST(DirWatch, ReportsNamesThatAppearAndGo) {
  const std::string dir = plat::makeTempDir("vbus-watch-");
  ASSERT_FALSE(dir.empty());
  fs::create_directory(dir + "/d");
  plat::DirWatch watch;
  ASSERT_EQ(watch.open(dir + "/d"), 0);
  std::ofstream(dir + "/outside");  // not watched
  std::ofstream(dir + "/d/a");
  fs::rename(dir + "/outside", dir + "/d/b");
  fs::remove(dir + "/d/a");
  fs::rename(dir + "/d/b", dir + "/c");
  bool alive = false;
  auto changes = collect(watch, 4, &alive);
  ASSERT_EQ(changes.size(), 4u);
  EXPECT_TRUE(changes[0].appeared);
  EXPECT_EQ(changes[0].name, "a");
  EXPECT_TRUE(changes[1].appeared);
  EXPECT_EQ(changes[1].name, "b");
  EXPECT_FALSE(changes[2].appeared);
  EXPECT_EQ(changes[2].name, "a");
  EXPECT_FALSE(changes[3].appeared);
  EXPECT_EQ(changes[3].name, "b");
  EXPECT_TRUE(alive);

  std::vector<plat::DirWatch::Change> none;
  bool overflowed = true;
  EXPECT_TRUE(watch.read(&none, &overflowed));  // nothing waiting: does not block
  EXPECT_TRUE(none.empty());

  fs::remove_all(dir + "/d");
  collect(watch, 100, &alive);
  EXPECT_FALSE(alive) << "the watch ends with its directory";
  fs::remove_all(dir);
}

TEST(DirWatch, RefusesWhatIsNoDirectory) {
  const std::string dir = plat::makeTempDir("vbus-watch-");
  std::ofstream(dir + "/file");
  plat::DirWatch watch;
  EXPECT_EQ(watch.open(dir + "/file"), 3);
  EXPECT_NE(watch.open(dir + "/missing"), 0);
  EXPECT_EQ(watch.handle(), plat::kInvalidHandle);
  fs::remove_all(dir);
}

}  // namespace
