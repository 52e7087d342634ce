#include "plat/runtime.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

// Each test gets its own mkdtemp directory as LINKHUB_RUNTIME_DIR.
class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = plat::makeTempDir("pipes_rt_");
    ASSERT_FALSE(base_.empty());
    rt_ = base_ + "/rt";
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", rt_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(base_, fs::perms::owner_all, ec);
    fs::remove_all(base_, ec);
  }
  std::string base_;
  std::string rt_;
};

TEST_F(RuntimeTest, CreatesPrivateDirectoryWithParents) {
  plat::setEnvironment("LINKHUB_RUNTIME_DIR", base_ + "/a/b/rt/");
  std::string dir;
  ASSERT_EQ(plat::runtimeDir(&dir), 0);
  EXPECT_EQ(dir, base_ + "/a/b/rt");
  for (const std::string& p : {base_ + "/a", base_ + "/a/b", base_ + "/a/b/rt"}) {
    ASSERT_TRUE(fs::is_directory(p)) << p;
    EXPECT_EQ(fs::status(p).permissions() & fs::perms::all, fs::perms::owner_all) << p;
  }
  // A second call finds the same directory.
  std::string again;
  ASSERT_EQ(plat::runtimeDir(&again), 0);
  EXPECT_EQ(again, dir);
}

TEST_F(RuntimeTest, RefusesWhatIsNotAPrivateDirectory) {
  { std::ofstream(rt_) << "x"; }
  std::string dir;
  EXPECT_EQ(plat::runtimeDir(&dir), 5) << "a plain file";
  fs::remove(rt_);

  fs::create_directory(rt_);
  fs::permissions(rt_, fs::perms::owner_all | fs::perms::others_write);
  EXPECT_EQ(plat::runtimeDir(&dir), 5) << "writable by others";
  fs::permissions(rt_, fs::perms::owner_all);
  EXPECT_EQ(plat::runtimeDir(&dir), 0);
}

TEST_F(RuntimeTest, RefusesDirectoryOfAnotherUser) {
  fs::create_directory(rt_);
  // Root can hand the directory over; anyone else checks a root-owned one.
  std::string other = "/";
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(rt_.c_str(), 65534, 65534), 0);
    other = rt_;
  }
  plat::setEnvironment("LINKHUB_RUNTIME_DIR", other);
  std::string dir;
  EXPECT_EQ(plat::runtimeDir(&dir), 5);
}

TEST_F(RuntimeTest, FallsBackToXdgRuntimeDir) {
  plat::setEnvironment("LINKHUB_RUNTIME_DIR", "");
  plat::setEnvironment("XDG_RUNTIME_DIR", base_ + "/xdg/");
  fs::create_directory(base_ + "/xdg");
  std::string dir;
  ASSERT_EQ(plat::runtimeDir(&dir), 0);
  EXPECT_EQ(dir, base_ + "/xdg/veltrano");
  // The system's own directory is never created for us.
  plat::setEnvironment("XDG_RUNTIME_DIR", base_ + "/missing");
  EXPECT_EQ(plat::runtimeDir(&dir), 3);
}

struct NameCase {
  const char* name;
  int rc;
  const char* tail;  // expected path below <rt> when rc == 0
};

TEST_F(RuntimeTest, MapsPipeNames) {
  const NameCase cases[] = {
      {"\\\\.\\pipe\\ZamoConnectionServer_\\Chan1", 0, "/pipe/zamoconnectionserver_/chan1"},
      {"\\\\.\\\\pipe\\zamoconnectionserver_\\0000001A", 0, "/pipe/zamoconnectionserver_/0000001a"},
      {"\\pipe\\zamoconnectionserver", 0, "/pipe/zamoconnectionserver"},
      {"\\\\.\\PIPE\\A", 0, "/pipe/a"},
      {"\\pipe\\a.b\\..c\\\xc3\x84", 0, "/pipe/a.b/..c/\xc3\x84"},  // non-ASCII kept as is
      {"", 123, nullptr},
      {"\\pipe\\", 123, nullptr},
      {"\\\\.\\pipe\\", 123, nullptr},
      {"pipe\\x", 123, nullptr},
      {"\\\\server\\pipe\\x", 123, nullptr},
      {"\\pipe\\a\\\\b", 123, nullptr},
      {"\\pipe\\a\\", 123, nullptr},
      {"\\pipe\\.", 123, nullptr},
      {"\\pipe\\a\\..\\b", 123, nullptr},
      {"\\pipe\\a/../../etc", 123, nullptr},
      {"\\pipe\\..", 123, nullptr},
  };
  for (const auto& c : cases) {
    std::string path = "untouched";
    EXPECT_EQ(plat::pipePath(c.name, &path), c.rc) << c.name;
    if (c.rc == 0)
      EXPECT_EQ(path, rt_ + c.tail) << c.name;
    else
      EXPECT_EQ(path, "untouched") << c.name;
  }
  EXPECT_EQ(plat::pipePath(std::string("\\pipe\\a\0b", 10), nullptr), 123);
  EXPECT_FALSE(fs::exists(rt_)) << "mapping creates nothing";
}

TEST_F(RuntimeTest, SocketPathLimitIsAnErrorNotACut) {
  std::string prefix = rt_ + "/pipe/";
  ASSERT_LT(prefix.size(), plat::kMaxSocketPath);
  std::string fits(plat::kMaxSocketPath - prefix.size(), 'n');
  std::string path;
  ASSERT_EQ(plat::pipePath("\\pipe\\" + fits, &path), 0);
  EXPECT_EQ(path.size(), 107u);
  EXPECT_EQ(plat::pipePath("\\pipe\\" + fits + "n", &path), 206);
}

TEST_F(RuntimeTest, MakesParentDirectoriesBelowRuntimeDirOnly) {
  std::string path;
  ASSERT_EQ(plat::pipePath("\\pipe\\x\\y\\z", &path), 0);
  ASSERT_EQ(plat::makeParentDirs(path), 0);
  EXPECT_TRUE(fs::is_directory(rt_ + "/pipe/x/y"));
  EXPECT_FALSE(fs::exists(path)) << "the socket itself is not made";
  EXPECT_EQ(fs::status(rt_ + "/pipe/x").permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(plat::makeParentDirs(base_ + "/elsewhere/s"), 123);
  EXPECT_EQ(plat::makeParentDirs(rt_ + "x/s"), 123) << "a sibling sharing the prefix";
  EXPECT_FALSE(fs::exists(base_ + "/elsewhere"));
}

}  // namespace
