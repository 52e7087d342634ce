// Another process's processor time, as benchmarks read a server's cost, and
// a program's own file whatever it was started as, and its memory.
#include "plat/process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "plat/runtime.h"
#include "rpc_child.h"

namespace {

TEST(ProcessCpuTest, OwnTimeGrowsWithWork) {
  ASSERT_EQ(plat::currentProcessId(), int(::getpid()));
  double before = -1;
  ASSERT_EQ(plat::processCpuSeconds(plat::currentProcessId(), &before), 0);
  EXPECT_GE(before, 0.0);
  // Busy for at least a quarter second of processor time: far above the
  // clock tick, whatever the machine's speed or load.
  volatile uint64_t sink = 0;
  double after = before;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (after - before < 0.25 && std::chrono::steady_clock::now() < giveUp) {
    for (int i = 0; i < 10000000; ++i) sink = sink + uint64_t(i);
    ASSERT_EQ(plat::processCpuSeconds(int(::getpid()), &after), 0);
  }
  EXPECT_GE(after - before, 0.25);
}

TEST(ProcessCpuTest, RefusesWhatIsNoProcess) {
  double seconds = 7;
  EXPECT_EQ(plat::processCpuSeconds(0, &seconds), 87);
  EXPECT_EQ(seconds, 0.0);
  EXPECT_EQ(plat::processCpuSeconds(-5, &seconds), 87);
  // Above the kernel's largest pid.
  EXPECT_EQ(plat::processCpuSeconds(1 << 23, &seconds), 2);
}

// The program file, not the name it was started under: through a symbolic
// link of another name, under another argv[0], and after the file was
// removed while it ran.
TEST(ProgramPathTest, NamesTheProgramFileWhateverItWasStartedAs) {
  namespace fs = std::filesystem;
  const std::string dir = plat::makeTempDir("plat-program-");
  ASSERT_FALSE(dir.empty());
  const std::string helper = fs::canonical(PROCESS_HELPER).string();
  const std::string link = dir + "/otherhub";
  fs::create_symlink(helper, link);
  const std::string copy = dir + "/copied helper.bin";
  fs::copy_file(helper, copy);
  fs::permissions(copy, fs::perms::owner_all);

  struct Case {
    const char* what;
    std::string program;
    std::vector<std::string> args;
    std::string removeFirst;  // deleted while it runs
    std::string expected;
  } cases[] = {
      {"directly", helper, {}, "", helper},
      {"through a link of another name", link, {}, "", helper},
      {"under another argv[0]", "/bin/bash", {"-c", "exec -a otherhub \"$0\"", helper}, "", helper},
      {"removed while it runs", copy, {}, copy, copy},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    plat::test::ChildProcess child;
    ASSERT_TRUE(child.start(c.program, c.args));
    if (!c.removeFirst.empty()) {
      // The child may not have executed the file yet: wait until it has.
      const std::string exe = "/proc/" + std::to_string(child.pid()) + "/exe";
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      std::error_code ec;
      while (fs::read_symlink(exe, ec) != c.removeFirst &&
             std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      ASSERT_TRUE(fs::remove(c.removeFirst));
    }
    child.closeStdin();
    std::string line;
    ASSERT_TRUE(child.readLine(&line));
    EXPECT_EQ(c.expected, line);
    EXPECT_EQ(0, child.wait());
  }
  fs::remove_all(dir);
}

TEST(ProcessMemoryTest, ResidentBytesFollowWhatTheProcessTouches) {
  unsigned long long before = 0, after = 0;
  ASSERT_EQ(plat::processResidentBytes(plat::currentProcessId(), &before), 0);
  EXPECT_GT(before, 0u);
  std::vector<char> block(64u << 20);
  for (size_t i = 0; i < block.size(); i += 4096) block[i] = char(i);
  ASSERT_EQ(plat::processResidentBytes(plat::currentProcessId(), &after), 0);
  EXPECT_GE(after, before + (48u << 20)) << "64 MiB touched";
  EXPECT_EQ(block[8192], char(8192));
  EXPECT_EQ(plat::processResidentBytes(0, &after), 87);
  EXPECT_EQ(plat::processResidentBytes(1 << 23, &after), 2);
}

}  // namespace
