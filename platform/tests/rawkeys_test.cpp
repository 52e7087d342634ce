// Key-by-key input on a pseudo-terminal: the mode it sets, the keys as they
// are typed, and the mode put back on every way out, a crash included.
#include "plat/rawkeys.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "plat/console.h"

namespace {

struct Pty {
  Pty() { ok = plat::openPseudoTerminal(&master, &slave, &path) == 0; }
  ~Pty() {
    plat::closeHandle(slave);
    plat::closeHandle(master);
  }
  termios mode() const {
    termios t{};
    tcgetattr(slave, &t);
    return t;
  }
  bool ok = false;
  plat::Handle master = plat::kInvalidHandle, slave = plat::kInvalidHandle;
  std::string path;
};

bool sameMode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

TEST(RawKeysTest, RawModeKeysAndRestore) {
  Pty pty;
  ASSERT_TRUE(pty.ok);
  termios before = pty.mode();
  before.c_oflag |= OPOST | ONLCR;  // as an ordinary terminal has it
  before.c_iflag |= ICRNL;
  before.c_lflag |= ISIG | ECHO;
  ASSERT_EQ(0, tcsetattr(pty.slave, TCSANOW, &before));
  before = pty.mode();
  {
    plat::RawKeyboard keys;
    ASSERT_EQ(0, keys.enter(pty.slave));
    EXPECT_TRUE(keys.raw());
    plat::RawKeyboard second;
    EXPECT_EQ(170, second.enter(pty.slave));
    const termios raw = pty.mode();
    EXPECT_EQ(0u, raw.c_lflag & (ECHO | ICANON | ISIG));
    EXPECT_EQ(0u, raw.c_iflag & ICRNL);
    EXPECT_EQ(before.c_oflag, raw.c_oflag);
    // Ctrl-C, CR and the rest arrive one by one, untranslated.
    const char typed[] = {'1', 3, '\r', 127, 26};
    ASSERT_TRUE(plat::writeConsole(pty.master, typed, sizeof typed));
    for (char c : typed) EXPECT_EQ(int(static_cast<unsigned char>(c)), keys.readKey());
  }  // the destructor restores
  EXPECT_TRUE(sameMode(before, pty.mode()));
}

TEST(RawKeysTest, EndOfInputAndOtherInputs) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  ASSERT_EQ(2, write(fds[1], "ab", 2));
  close(fds[1]);
  plat::RawKeyboard keys;
  EXPECT_EQ(0, keys.enter(fds[0]));  // not a terminal: bytes as they are
  EXPECT_FALSE(keys.raw());
  EXPECT_EQ('a', keys.readKey());
  EXPECT_EQ('b', keys.readKey());
  EXPECT_EQ(-1, keys.readKey());
  EXPECT_EQ(-1, keys.readKey());
  close(fds[0]);
  plat::RawKeyboard closed;
  EXPECT_EQ(6, closed.enter(plat::kInvalidHandle));
  EXPECT_EQ(-1, closed.readKey());
}

// A process that dies in raw mode, by a signal or a crash, or leaves by
// exit(), leaves the terminal as it found it.
TEST(RawKeysTest, EveryWayOutRestores) {
  const struct {
    const char* name;
    int signal;  // 0: exit(3)
  } cases[] = {{"SIGTERM", SIGTERM},
               {"SIGSEGV", SIGSEGV},
               {"SIGABRT", SIGABRT},
               {"SIGHUP", SIGHUP},
               {"exit", 0}};
  for (const auto& c : cases) {
    Pty pty;
    ASSERT_TRUE(pty.ok);
    const termios before = pty.mode();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      static plat::RawKeyboard keys;  // never destroyed on these paths
      if (keys.enter(pty.slave) != 0) _exit(90);
      if (c.signal == 0) std::exit(3);
      raise(c.signal);
      _exit(91);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    if (c.signal == 0) {
      ASSERT_TRUE(WIFEXITED(status)) << c.name;
      EXPECT_EQ(3, WEXITSTATUS(status));
    } else {
      ASSERT_TRUE(WIFSIGNALED(status)) << c.name << " " << status;
      EXPECT_EQ(c.signal, WTERMSIG(status)) << c.name;
    }
    EXPECT_TRUE(sameMode(before, pty.mode())) << c.name;
  }
}

}  // namespace
