// The fwflash program itself on the whole road (GUI mode, offscreen, dummy
// DISPLAY): it finds the device named on its command line through the real
// server and shows its firmware version; a second start activates it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e/Road.h"

using translayer::HwId;

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool waitForLine(const std::string& log, const std::string& line) {
  for (int i = 0; i < 3000; ++i) {
    if (readFile(log).find(line + "\n") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

pid_t spawnUpdater(const std::string& hex, const std::string& log) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("DISPLAY", ":fwflash-test", 1);
    ::unsetenv("WAYLAND_DISPLAY");
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("FWFLASH_EVENT_LOG", log.c_str(), 1);
    ::execl(FWFLASH_PROGRAM, FWFLASH_PROGRAM, hex.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

int waitExit(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

}  // namespace

TEST(UpdaterProgramOnTheRoad, ShowsTheDeviceAndActivatesOnASecondStart) {
  e2e::Road road;
  ASSERT_TRUE(road.ok());
  ASSERT_TRUE(road.startHub());
  const HwId hwid = e2e::Road::makeHwId(0x51);
  ASSERT_GE(road.startDevsim({{"fwprog", hwid}},
                             {"--storage", road.baseDir() + "/storage", "--fw-upgrade"}),
            0);
  ASSERT_TRUE(road.waitOnline({hwid}));

  std::string hex = e2e::Road::hexOf(hwid);
  for (char& c : hex) c = char(std::tolower(static_cast<unsigned char>(c)));
  const std::string log = road.baseDir() + "/fwflash.log";
  const pid_t first = spawnUpdater(hex, log);
  EXPECT_TRUE(waitForLine(log, "title KN Firmware Updater - " + e2e::Road::hexOf(hwid)))
      << readFile(log);
  EXPECT_TRUE(waitForLine(log, "connected")) << readFile(log);
  EXPECT_TRUE(waitForLine(log, "device version 1.8.0")) << readFile(log);

  EXPECT_EQ(0, waitExit(spawnUpdater(hex, road.baseDir() + "/second.log")));
  EXPECT_TRUE(waitForLine(log, "activated")) << readFile(log);

  ::kill(first, SIGTERM);
  ::waitpid(first, nullptr, 0);
}
