// The interactive console skeleton with a stand-in library: the device's
// "connection up" event comes from a thread of the stand-in, as a client
// library's channel handler would deliver it.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>

#include "InteractiveConsole.h"
#include "plat/console.h"

namespace protoprobe {
namespace {

class StandInConsole : public InteractiveConsole {
 public:
  explicit StandInConsole(std::ostream& out, bool connects = true)
      : InteractiveConsole(out), connects_(connects) {
    connectWaitMs_ = 300;
  }
  ~StandInConsole() override {
    if (connector_.joinable()) connector_.join();
  }
  std::vector<std::string> calls;
  int endResult = 0;

 protected:
  std::vector<std::string> helpLines() const override { return {"  ping", "  fail", "  quit"}; }
  bool registerLibrary() override {
    calls.push_back("register");
    if (connects_) connector_ = std::thread([this] { printEvent("CON"); });
    return true;
  }
  void unregisterLibrary() override { calls.push_back("unregister"); }
  Outcome command(const std::vector<std::string>& words, const std::string& line) override {
    if (words[0] == "ping") {
      echo(line);
      calls.push_back("ping " + std::to_string(words.size()));
      return Outcome::kDone;
    }
    if (words[0] == "fail") return Outcome::kAbort;
    if (words[0] == "odd") setAbort();  // as an unknown event would
    return Outcome::kDone;
  }
  void beforeEachLine() override { calls.push_back("line"); }
  int atEndOfInput() override {
    calls.push_back("end");
    return endResult;
  }
  void stopWorkers() override { calls.push_back("stop"); }

 private:
  bool connects_;
  std::thread connector_;
};

// The output with each stamp replaced by "T ".
std::string unstamped(const std::string& text) {
  return std::regex_replace(text, std::regex("[0-9]{7,}ms "), "T ");
}

TEST(ConsoleSkeletonTest, ScriptsAndTheirEndings) {
  const std::string tail = "T Unregistering on closing\n";
  const struct {
    const char* name;
    std::string input;
    int result;
    std::string out;
    std::vector<std::string> calls;
  } cases[] = {
      {"end of input",
       "ping a  b\n\n  \npingpong\n",
       0,
       "T < CON\nT > ping a  b\n" + tail,
       {"register", "line", "ping 3", "line", "line", "line", "end", "stop", "unregister"}},
      {"quit",
       "quit\nping\n",
       -12,
       "T < CON\nT Aborted\n" + tail,
       {"register", "line", "stop", "unregister"}},
      {"failed call",
       "fail\n",
       -12,
       "T < CON\nT Aborted\n" + tail,
       {"register", "line", "stop", "unregister"}},
      {"abort flag",
       "odd\nping\n",
       -12,
       "T < CON\nT Aborted\n" + tail,
       {"register", "line", "stop", "unregister"}},
      {"help",
       "help\n",
       0,
       "T < CON\n\nAvailable console commands:\n  ping\n  fail\n  quit\n" + tail,
       {"register", "line", "end", "stop", "unregister"}},
  };
  for (const auto& c : cases) {
    std::ostringstream out;
    std::istringstream in(c.input);
    StandInConsole console(out);
    EXPECT_EQ(c.result, console.run({}, in, false)) << c.name;
    EXPECT_EQ(c.out, unstamped(out.str())) << c.name;
    EXPECT_EQ(c.calls, console.calls) << c.name;
  }
}

TEST(ConsoleSkeletonTest, AReadErrorEndsTheLoop) {
  std::ostringstream out;
  std::istringstream in("ping\n");
  in.setstate(std::ios::badbit);
  StandInConsole console(out);
  EXPECT_EQ(0, console.run({}, in, false));
  EXPECT_EQ((std::vector<std::string>{"register", "end", "stop", "unregister"}), console.calls);
}

TEST(ConsoleSkeletonTest, HelpArgumentInAnyCase) {
  for (const char* word : {"help", "HeLp", "HELP"}) {
    std::ostringstream out;
    std::istringstream in("ping\n");
    StandInConsole console(out);
    EXPECT_EQ(-1, console.run({word, "more"}, in, false));
    EXPECT_EQ("\nAvailable console commands:\n  ping\n  fail\n  quit\n", out.str());
    EXPECT_TRUE(console.calls.empty());
  }
  std::ostringstream out;
  std::istringstream in("");
  StandInConsole console(out);
  EXPECT_EQ(0, console.run({"helper"}, in, false));  // any other argument is ignored
}

TEST(ConsoleSkeletonTest, NoConnectionUnregistersSilently) {
  std::ostringstream out;
  std::istringstream in("ping\n");
  StandInConsole console(out, false);
  EXPECT_EQ(-10, console.run({}, in, false));
  EXPECT_EQ("T Remote connection timed out\n", unstamped(out.str()));
  EXPECT_EQ((std::vector<std::string>{"register", "stop", "unregister"}), console.calls);
}

TEST(ConsoleSkeletonTest, OutputThatIsNotATerminalEndsAtOnce) {
  if (plat::isTerminal(plat::standardOutput())) GTEST_SKIP() << "standard output is a terminal";
  std::ostringstream out;
  std::istringstream in("ping\n");
  StandInConsole console(out);
  EXPECT_EQ(6, console.run({}, in, true));
  EXPECT_EQ("", out.str());
  EXPECT_TRUE(console.calls.empty());
}

}  // namespace
}  // namespace protoprobe
