// Starting a detached program: the word splitting of a configured command,
// and what the started program inherits (checked by a recorder program).
#include "plat/spawn.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using Words = std::vector<std::string>;

TEST(SplitCommandWords, Table) {
  struct Case {
    const char* text;
    bool ok;
    Words words;
  };
  const Case cases[] = {
      {"fwflash", true, {"fwflash"}},
      {"  /opt/fw flash\t-v  ", true, {"/opt/fw", "flash", "-v"}},
      {"\"/opt/my tools/fwflash\" --gui", true, {"/opt/my tools/fwflash", "--gui"}},
      {"a\"b c\"d e", true, {"ab cd", "e"}},
      {"x \"\" y", true, {"x", "", "y"}},
      {"\"tab\there\"", true, {"tab\there"}},
      {"back\\\"slash\"",
       true,
       {"back\\slash"}},                     // no escapes: the quote after the backslash opens
      {"a 'b c'", true, {"a", "'b", "c'"}},  // single quotes are ordinary
      {"$(rm -rf x);", true, {"$(rm", "-rf", "x);"}},
      {"", false, {}},
      {" \t ", false, {}},
      {"\"unbalanced", false, {}},
      {"a \"b\" \"c", false, {}},
  };
  for (const Case& c : cases) {
    Words words{"untouched"};
    EXPECT_EQ(c.ok, plat::splitCommandWords(c.text, &words)) << c.text;
    EXPECT_EQ(c.ok ? c.words : Words{"untouched"}, words) << c.text;
  }
}

class SpawnTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/spawn_test.XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(tmpl));
    dir_ = tmpl;
    out_ = dir_ + "/record";
    ::setenv("SPAWN_RECORDER_OUT", out_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("SPAWN_RECORDER_OUT");
    std::filesystem::remove_all(dir_);
  }
  // The recorder's lines, once its file is there (generous bound).
  std::vector<std::string> record() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(out_) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream f(out_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(f, line);) lines.push_back(line);
    return lines;
  }
  std::string dir_;
  std::string out_;
};

std::vector<std::string> withPrefix(const std::vector<std::string>& lines,
                                    const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& l : lines)
    if (l.rfind(prefix, 0) == 0) out.push_back(l.substr(prefix.size()));
  return out;
}

TEST_F(SpawnTest, ProgramStartsCleanAndLeavesNoZombie) {
  // State a launcher typically has: blocked termination signals, an ignored
  // signal, and a descriptor that is not close-on-exec.
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGUSR1);
  ASSERT_EQ(0, pthread_sigmask(SIG_BLOCK, &block, &old));
  struct sigaction ign {
  }, oldUsr2{};
  ign.sa_handler = SIG_IGN;
  ASSERT_EQ(0, sigaction(SIGUSR2, &ign, &oldUsr2));
  const int leaked = ::open("/dev/null", O_RDONLY);  // no O_CLOEXEC on purpose
  ASSERT_GT(leaked, 2);

  int pid = 0;
  const int rc = plat::spawnDetached(
      {SPAWN_RECORDER, "one word", "", "0123456789abcdef0123456789abcdef"}, &pid);

  ::close(leaked);
  sigaction(SIGUSR2, &oldUsr2, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);

  ASSERT_EQ(0, rc);
  EXPECT_GT(pid, 0);
  const auto lines = record();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ((Words{"one word", "", "0123456789abcdef0123456789abcdef"}), withPrefix(lines, "arg="));
  EXPECT_EQ(Words{"0000000000000000"}, withPrefix(lines, "sigblk="));
  EXPECT_EQ(Words{"0000000000000000"}, withPrefix(lines, "sigign="));
  for (const std::string& fd : withPrefix(lines, "fd=")) EXPECT_LE(std::atoi(fd.c_str()), 2) << fd;
  const Words sid = withPrefix(lines, "sid=");
  ASSERT_EQ(1u, sid.size());
  EXPECT_NE(std::to_string(::getsid(0)), sid[0]);  // a session of its own, not ours
  EXPECT_EQ(Words{std::to_string(pid)}, withPrefix(lines, "pid="));

  // Neither the intermediate process nor the program is our child.
  errno = 0;
  EXPECT_EQ(-1, ::waitpid(-1, nullptr, WNOHANG));
  EXPECT_EQ(ECHILD, errno);
}

TEST_F(SpawnTest, FailuresAreReported) {
  const std::string plain = dir_ + "/plain";
  const std::string garbage = dir_ + "/garbage";
  std::ofstream(plain) << "not a program\n";
  std::ofstream(garbage) << "\x7f"
                            "ELFnot really\n";
  ::chmod(plain.c_str(), 0644);
  ::chmod(garbage.c_str(), 0755);  // passes the checks before fork; exec itself fails

  struct Case {
    Words argv;
    bool expectCode;
    int code;
  };
  const Case cases[] = {
      {{}, true, 87},
      {{""}, true, 87},
      {{dir_ + "/missing"}, true, 2},
      {{"no-such-program-here"}, true, 2},
      {{plain}, true, 5},
      {{garbage}, false, 0},
  };
  for (const Case& c : cases) {
    int pid = -7;
    const int rc = plat::spawnDetached(c.argv, &pid);
    const std::string name = c.argv.empty() ? "(none)" : c.argv[0];
    EXPECT_NE(0, rc) << name;
    if (c.expectCode) {
      EXPECT_EQ(c.code, rc) << name;
    }
    EXPECT_EQ(-7, pid) << name;
  }
  errno = 0;
  EXPECT_EQ(-1, ::waitpid(-1, nullptr, WNOHANG));
  EXPECT_EQ(ECHILD, errno);
}

TEST_F(SpawnTest, NameWithoutSlashIsFoundInPath) {
  const std::filesystem::path recorder(SPAWN_RECORDER);
  const char* old = std::getenv("PATH");
  const std::string saved = old ? old : "";
  ::setenv("PATH", ("/nonexistent:" + recorder.parent_path().string()).c_str(), 1);
  const int rc = plat::spawnDetached({recorder.filename().string(), "x"});
  ::setenv("PATH", saved.c_str(), 1);
  ASSERT_EQ(0, rc);
  EXPECT_EQ(Words{"x"}, withPrefix(record(), "arg="));
}

}  // namespace

TEST(ProbeInChild, OnlyABodyThatReturnsCounts) {
  EXPECT_TRUE(plat::probeInChild([] {}, 10000));
  EXPECT_FALSE(plat::probeInChild([] { std::abort(); }, 10000));
  EXPECT_FALSE(plat::probeInChild([] { ::_exit(3); }, 10000));
  // A body that never returns is killed at the limit, not waited for.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(plat::probeInChild(
      [] {
        for (;;) ::pause();
      },
      200));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
}
