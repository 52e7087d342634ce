// The raw console's exact output and the payloads it sends.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>

#include "ProtConsole.h"
#include "RecordingSender.h"

namespace protoprobe {
namespace {

using Bytes = std::vector<uint8_t>;

// Keys from a script; each key may first run an action (a device message).
struct KeyScript {
  std::deque<std::function<int()>> steps;
  void key(int k) {
    steps.push_back([k] { return k; });
  }
  void keys(const std::string& text) {
    for (unsigned char c : text) key(c);
  }
  void then(std::function<void()> action, int k) {
    steps.push_back([action, k] {
      action();
      return k;
    });
  }
  int next() {
    if (steps.empty()) return -1;
    auto step = steps.front();
    steps.pop_front();
    return step();
  }
};

struct ConsoleFixture {
  RecordingSender sender;
  std::string screen;
  ProtConsole console{sender, [this](std::string_view t) { screen.append(t); }};
  KeyScript script;
  int run() {
    return console.run([this] { return script.next(); });
  }
};

TEST(ProtConsoleTest, SessionDrawsTheExactBytes) {
  ConsoleFixture f;
  f.script.keys("1a");
  f.script.key('\r');
  // The device answers while the prompt is empty, then the user mistypes.
  f.script.then([&] { f.console.deliver(payloadOf({0x1b, 0x64, 0x65}, true)); }, 'x');
  f.script.key('y');
  f.script.key(127);
  f.script.key(8);
  f.script.key(8);  // nothing left to drop
  f.script.key(3);
  EXPECT_EQ(0, f.run());
  const std::string want =
      "\r> "
      "1"
      "a"
      "\n"
      "\r@ 1b 64 65 \n\r> 1a\n"
      "\r> x  \b\b"  // "x" is not longer than the shown "1a\n"
      "y"
      "\r> x \b"
      "\r>  \b"
      "\r> ";
  EXPECT_EQ(want, f.screen);
  ASSERT_EQ(1u, f.sender.payloads.size());
  EXPECT_EQ(1, f.sender.payloads[0]->length);
  EXPECT_EQ(0x1a, f.sender.payloads[0]->data[0]);
  EXPECT_EQ(1, f.sender.payloads[0]->last);
}

TEST(ProtConsoleTest, TypedTextBecomesPayloadsOfOneMessage) {
  const struct {
    std::string typed;
    std::vector<size_t> lengths;
  } cases[] = {
      {"0a0b0", {2}},
      {std::string(3000, '7'), {1012, 488}},
      {std::string(2024, '7') + "1", {1012, 0}},
      {"", {}},
  };
  for (const auto& c : cases) {
    ConsoleFixture f;
    f.script.keys(c.typed);
    f.script.key('\n');
    f.run();
    ASSERT_EQ(c.lengths.size(), f.sender.payloads.size()) << c.typed.size();
    for (size_t i = 0; i < c.lengths.size(); ++i) {
      EXPECT_EQ(c.lengths[i], f.sender.payloads[i]->length) << i;
      EXPECT_EQ(i + 1 == c.lengths.size(), f.sender.payloads[i]->last != 0) << i;
    }
  }
}

TEST(ProtConsoleTest, TypedPercentSignsArePrintedAsTheyAre) {
  ConsoleFixture f;
  f.script.keys("%s%n");
  EXPECT_EQ(0, f.run());  // and the end of input ends the loop
  EXPECT_EQ("\r> %s%n", f.screen);
}

TEST(ProtConsoleTest, DeviceMessagesAcrossPayloadsAndTheCap) {
  ConsoleFixture f;
  f.console.deliver(payloadOf({0x0a}, false));
  f.console.deliver(payloadOf({0xff}, false));
  EXPECT_EQ("", f.screen);
  f.console.deliver(payloadOf({0x10}, true));
  EXPECT_EQ("\r@ 0a ff 10 \n\r> ", f.screen);

  // A message that never ends is shown in lines of at most the cap.
  f.screen.clear();
  const Bytes block(1024, 0x5a);
  for (int i = 0; i < 40; ++i) f.console.deliver(payloadOf(block, false));
  size_t lines = 0, at = 0;
  while ((at = f.screen.find("\r@ ", at)) != std::string::npos) {
    const size_t end = f.screen.find('\n', at);
    ASSERT_NE(std::string::npos, end);
    EXPECT_LE(end - at - 1, ProtConsole::kAccumulatorCap);
    ++lines;
    at = end;
  }
  EXPECT_EQ(1u, lines);  // 40960 bytes are 122882 characters: one full line so far
}

TEST(ProtConsoleTest, RemoteCloseIsToldAtTheNextKey) {
  ConsoleFixture f;
  f.script.keys("1");
  f.script.then([&] { f.console.close(false); }, '2');
  f.script.keys("3");
  EXPECT_EQ(0, f.run());
  EXPECT_EQ("\r> 1\rTerminated by remote\n\r> 1", f.screen);
}

}  // namespace
}  // namespace protoprobe
