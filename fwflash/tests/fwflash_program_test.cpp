// The fwflash program as a process: its argument, its title, one window per
// device and the display check. GUI mode runs on the offscreen platform with
// a dummy DISPLAY; no server is needed for any of this.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace {

struct Result {
  int status = -1;
  std::string err;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fwflash-prog-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    dir = pattern;
    std::filesystem::create_directory(dir + "/rt");
    std::filesystem::permissions(dir + "/rt", std::filesystem::perms::owner_all);
  }
  void TearDown() override {
    for (pid_t pid : running) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
    std::filesystem::remove_all(dir);
  }

  // Starts fwflash with `args`; gui gives it the offscreen platform.
  pid_t spawn(const std::vector<std::string>& args, bool gui, const std::string& errFile,
              const std::string& log = {}, const char* platform = "offscreen") {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setenv("LINKHUB_RUNTIME_DIR", (dir + "/rt").c_str(), 1);
      ::unsetenv("WAYLAND_DISPLAY");
      if (gui) {
        ::setenv("DISPLAY", ":fwflash-test", 1);
        ::setenv("QT_QPA_PLATFORM", platform, 1);
        ::setenv("FWFLASH_FATAL_NOWAIT", "1", 1);
      } else {
        ::unsetenv("DISPLAY");
      }
      if (!log.empty()) ::setenv("FWFLASH_EVENT_LOG", log.c_str(), 1);
      std::freopen(errFile.c_str(), "w", stderr);
      std::vector<char*> argv{const_cast<char*>(FWFLASH_PROGRAM)};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(FWFLASH_PROGRAM, argv.data());
      ::_exit(127);
    }
    return pid;
  }

  // Runs to its end (10 s at most).
  Result run(const std::vector<std::string>& args, bool gui, const char* platform = "offscreen") {
    const std::string err = dir + "/err" + std::to_string(++runs);
    const pid_t pid = spawn(args, gui, err, {}, platform);
    Result r;
    for (int i = 0; i < 1000; ++i) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.err = readFile(err);
        return r;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return r;
  }

  bool waitForLine(const std::string& log, const std::string& line) {
    for (int i = 0; i < 1000; ++i) {
      if (readFile(log).find(line + "\n") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::string dir;
  std::vector<pid_t> running;
  int runs = 0;
};

const char* kHwId = "00112233445566778899aabbccddeeff";

}  // namespace

TEST_F(ProgramTest, AWrongArgumentIsTheMissingHwIdMessage) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"a"}, {"00112233445566778899aabbccdd"}, {"00112233445566778899aabbccddeefg"}, {"-flag"}};
  for (bool gui : {false, true}) {
    for (const auto& args : cases) {
      const Result r = run(args, gui);
      EXPECT_EQ(1, r.status) << gui << " " << (args.empty() ? "" : args[0]);
      EXPECT_NE(std::string::npos, r.err.find("No remote device HWID argument found.\n"))
          << gui << " " << (args.empty() ? "" : args[0]) << ": " << r.err;
    }
  }
}

TEST_F(ProgramTest, WithoutADisplayItSaysSo) {
  const Result r = run({kHwId}, false);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("fwflash: no display\n", r.err);

  // A display is named but the platform cannot start on it.
  const Result broken = run({kHwId}, true, "xcb");
  EXPECT_EQ(1, broken.status);
  EXPECT_NE(std::string::npos, broken.err.find("fwflash: no display\n")) << broken.err;
}

TEST_F(ProgramTest, OneWindowPerDeviceAndASecondStartActivatesIt) {
  const std::string log = dir + "/events.log";
  running.push_back(spawn({"-ignored", kHwId, "ignored too"}, true, dir + "/first.err", log));
  ASSERT_TRUE(waitForLine(log, "title KN Firmware Updater - 00112233445566778899AABBCCDDEEFF"))
      << readFile(log) << readFile(dir + "/first.err");

  const auto before = std::chrono::steady_clock::now();
  const Result second = run({"00112233445566778899AABBCCDDEEFF"}, true);
  const auto took = std::chrono::steady_clock::now() - before;
  EXPECT_EQ(0, second.status) << second.err;
  EXPECT_TRUE(waitForLine(log, "activated")) << readFile(log);
  EXPECT_LT(took, std::chrono::seconds(10));

  // Another device gets a window of its own.
  const std::string otherLog = dir + "/other.log";
  running.push_back(
      spawn({"ffeeddccbbaa99887766554433221100"}, true, dir + "/other.err", otherLog));
  EXPECT_TRUE(
      waitForLine(otherLog, "title KN Firmware Updater - FFEEDDCCBBAA99887766554433221100"));
  int status = 0;
  EXPECT_EQ(0, ::waitpid(running.back(), &status, WNOHANG)) << "still running";
}
