// The single-instance lock across processes.
#include "plat/instance.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "plat/runtime.h"
#include "rpc_child.h"

namespace plat {
namespace {

class InstanceLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeTempDir("rpc-instance-");
    ASSERT_FALSE(dir_.empty());
    setEnvironment("LINKHUB_RUNTIME_DIR", dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  // What a second process gets for `name`.
  std::string otherProcess(const std::string& name, test::ChildProcess* child) {
    std::string line;
    if (!child->start(INSTANCE_HELPER, {name}) || !child->readLine(&line)) return "none";
    return line;
  }
  std::string dir_;
};

TEST_F(InstanceLockTest, SecondProcessIsKeptOutUntilTheFirstLetsGo) {
  const std::string name = "VLN_ZAMOConnServer_instance_mutext";
  {
    InstanceLock mine;
    ASSERT_EQ(0, mine.acquire(name));
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/" + name + ".lock"));
    test::ChildProcess second;
    EXPECT_EQ("183", otherProcess(name, &second));
    second.closeStdin();
    EXPECT_EQ(0, second.wait());
    // Another name is another lock.
    test::ChildProcess other;
    EXPECT_EQ("0", otherProcess("VLN_ZAMOusblink_instance_mutext", &other));
  }
  // Released with the object: the next process gets it, and keeps us out.
  test::ChildProcess next;
  EXPECT_EQ("0", otherProcess(name, &next));
  InstanceLock mine;
  EXPECT_EQ(183, mine.acquire(name));
  EXPECT_FALSE(mine.held());
  next.closeStdin();
  EXPECT_EQ(0, next.wait());
  EXPECT_EQ(0, mine.acquire(name));  // the holder's death freed it
}

TEST_F(InstanceLockTest, KilledHolderLeavesNoStaleLock) {
  test::ChildProcess holder;
  ASSERT_EQ("0", otherProcess("lock", &holder));
  ::kill(holder.pid(), SIGKILL);
  EXPECT_NE(0, holder.wait());
  InstanceLock mine;
  EXPECT_EQ(0, mine.acquire("lock"));
}

TEST_F(InstanceLockTest, NamesThatAreNoFileNameAreRefused) {
  InstanceLock lock;
  for (const char* bad : {"", ".", "..", "a/b", "../escape"})
    EXPECT_EQ(123, lock.acquire(bad)) << bad;
  EXPECT_FALSE(lock.held());
}

}  // namespace
}  // namespace plat
