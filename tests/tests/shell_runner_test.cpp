// The terminal session the console tests read their programs through: what
// a program writes last, and more than the terminal buffers, must all be in
// the transcript once wait() returns.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "testsupport/ShellRunner.h"

namespace {

class TerminalSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/shell-runner-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(name));
    work_ = name;
  }
  void TearDown() override { std::filesystem::remove_all(work_); }
  std::string work_;
};

TEST_F(TerminalSessionTest, WaitReadsEverythingTheProgramWrote) {
  struct Case {
    const char* name;
    const char* script;
    size_t fill;  // bytes of 'x' before the last line
  };
  // A pseudo-terminal holds a few KiB: the large case blocks a program whose
  // reader does not read while it waits.
  const Case cases[] = {
      {"short", "echo last line; exit 3", 0},
      {"larger than the terminal holds",
       "head -c 300000 /dev/zero | tr '\\000' x; echo; echo last line; exit 3", 300000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    shelltest::ShellRunner runner("/bin/sh", work_);
    shelltest::TerminalSession s;
    ASSERT_TRUE(s.start(runner, {"-c", c.script}));
    EXPECT_EQ(3, s.wait(120000));
    std::string t = s.transcript();
    EXPECT_EQ(c.fill, size_t(std::count(t.begin(), t.end(), 'x')));
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    const std::string last = "last line";
    ASSERT_GE(t.size(), last.size());
    EXPECT_EQ(last, t.substr(t.size() - last.size()));
  }
}

}  // namespace
