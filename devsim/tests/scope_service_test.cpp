// The scope service's capture files: whatever the channels, triggers and
// size asked for, the file is one the scope codec decodes to result 0, as
// long as asked when the step allows it, and with the trigger it promises.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "devsim/ScopeService.h"
#include "scopecodec/scopecodec.h"

namespace {

using devsim::ScopeChannelDef;
using devsim::ScopeState;
using devsim::ScopeTriggerDef;

struct Decoded {
  int result;
  std::string xml;
};

Decoded decode(const std::vector<uint8_t>& file) {
  char* xml = nullptr;
  Decoded d{DigScopeDecode(file.data(), unsigned(file.size()), &xml), ""};
  if (xml) d.xml = xml;
  std::free(xml);
  return d;
}

const std::map<uint16_t, uint8_t> kSizes{{1, 1}, {2, 2}, {3, 4}, {4, 8}};

TEST(ScopeCapture, FilesOfEveryShapeDecode) {
  struct Case {
    const char* what;
    std::vector<ScopeChannelDef> channels;
    std::vector<ScopeTriggerDef> triggers;
    uint8_t mode;
    uint32_t size;
    bool exact;  // the step lets every length be met
  };
  const std::vector<ScopeTriggerDef> oneTrigger{{3, 3, {0x9c, 0xff, 0xff, 0xff}}};
  const Case cases[] = {
      {"configuration only", {{3, 0.01f}}, oneTrigger, 2, 0, false},
      {"no channels", {}, oneTrigger, 2, 5000, false},
      {"one byte a step", {{1, 0.01f}}, {}, 1, 100000, true},
      {"five bytes a step, triggered", {{3, 0.01f}, {1, 0.02f}}, oneTrigger, 2, 100000, true},
      {"fifteen bytes a step",
       {{4, 0.5f}, {3, 0.5f}, {2, 0.5f}, {1, 0.5f}},
       oneTrigger,
       3,
       77777,
       true},
      {"eight bytes a step", {{4, 0.001f}}, {}, 1, 100001, false},
      {"more than one block", {{1, 0.001f}}, oneTrigger, 2, 300000, true},
      {"asked for less than one step", {{4, 0.1f}, {3, 0.1f}}, {}, 1, 10, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<uint8_t> file = ScopeState::captureFile(
        std::vector<uint8_t>(16, 0xAB), c.mode, 0.5f, 0.1f, c.triggers, c.channels, kSizes, c.size);
    const Decoded d = decode(file);
    ASSERT_EQ(d.result, 0);
    EXPECT_NE(d.xml.find("<ParameterSet>abababababababababababababababab</ParameterSet>"),
              std::string::npos);
    const bool data = c.size && !c.channels.empty();
    EXPECT_EQ(d.xml.find("<Data format=") != std::string::npos, data);
    EXPECT_EQ(d.xml.find("<Trigger time=") != std::string::npos,
              data && c.mode != 1 && !c.triggers.empty());
    if (c.exact) {
      EXPECT_EQ(file.size(), c.size);
    }
    if (data && c.size > 100) {
      EXPECT_LE(file.size(), c.size);
      EXPECT_GE(file.size() + 64, c.size);
    }
  }
}

// The service on a channel of its own: what it answers, byte for byte.
class RecordingChannel : public devsim::ServiceChannel {
 public:
  uint8_t channel() const override { return 1; }
  uint8_t protocolId() const override { return 5; }
  bool send(const uint8_t* data, size_t length, bool last) override {
    std::lock_guard<std::mutex> lock(mutex);
    current.insert(current.end(), data, data + length);
    if (last) {
      messages.push_back(current);
      current.clear();
    }
    cv.notify_all();
    return true;
  }
  void close() override {}
  bool isOpen() const override { return true; }

  // The n-th whole message (waits for it, generously).
  std::vector<uint8_t> message(size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait_for(lock, std::chrono::seconds(20), [&] { return messages.size() > n; });
    return messages.size() > n ? messages[n] : std::vector<uint8_t>{0xEE};
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return messages.size();
  }

  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::vector<uint8_t>> messages;
  std::vector<uint8_t> current;
};

TEST(ScopeService, AnswersAndStateUpdates) {
  auto state = std::make_shared<ScopeState>();
  auto channel = std::make_shared<RecordingChannel>();
  state->attach(channel);
  auto ask = [&](std::vector<uint8_t> m) { state->onRequest(channel, m); };
  struct Step {
    std::vector<uint8_t> request;
    std::vector<uint8_t> reply;
  };
  const Step steps[] = {
      {{32}, {33, 0, 8, 4, 4, 0x17, 0xB7, 0xD1, 0x38, 0, 0, 1, 0}},
      {{42}, {43, 13}},                         // no channels
      {{36, 9, 0, 0, 0, 0x80, 0x3f}, {37, 3}},  // no such parameter
      {{36, 1, 0, 0, 0, 0, 0}, {37, 7}},        // period 0
      {{36, 1, 0, 0, 0, 0x80, 0x3f}, {37, 0, 0, 0, 0x20, 0x41, 1, 0, 0, 0, 0x80, 0x3f}},
      {{36, 1, 0, 0, 0, 0x80, 0x3f}, {37, 15, 0, 0, 0x20, 0x41, 1, 0, 0, 0, 0x80, 0x3f}},
      {{36, 1, 0}, {37, 1, 0, 0, 0x20, 0x41, 1, 0, 0, 0, 0x80, 0x3f}},  // cut short
      {{40, 1, 0, 3, 0x7f, 0}, {41, 6}},              // threshold of the wrong size
      {{40, 1, 0, 5, 0x7f}, {41, 11}},                // no such edge
      {{68, 2, 0, 0, 0, 0x3f, 0, 0, 0, 0}, {69, 0}},  // trand
      {{42}, {43, 14}},                               // a trigger mode without triggers
      {{66, 0, 0}, {67, 12}},
      {{50}, {51, 1}},                                // no valid capture yet
      {{68, 1, 0, 0, 0, 0x3f, 0, 0, 0, 0}, {69, 0}},  // always
  };
  size_t n = 0;
  for (const Step& s : steps) {
    ask(s.request);
    EXPECT_EQ(channel->message(n++), s.reply) << "request " << int(s.request[0]);
  }
  ask({42});
  EXPECT_EQ(channel->message(n++), (std::vector<uint8_t>{43, 0}));
  EXPECT_EQ(channel->message(n++), ScopeState::statusMessage(1, 0));
  ask({42});  // armed already
  EXPECT_EQ(channel->message(n++), (std::vector<uint8_t>{43, 1}));
  std::vector<uint8_t> last;
  while ((last = channel->message(n++)) != ScopeState::statusMessage(3, 100)) {
    ASSERT_EQ(last.size(), 6u);
    EXPECT_EQ(last[1], 2);
  }
  ask({50});
  const std::vector<uint8_t> raw = channel->message(n++);
  const std::vector<uint8_t> capture = state->lastCapture();
  ASSERT_EQ(raw.size(), capture.size() + 6);
  EXPECT_EQ(std::vector<uint8_t>(raw.begin() + 6, raw.end()), capture);
  EXPECT_EQ(raw[2] | raw[3] << 8 | raw[4] << 16 | uint32_t(raw[5]) << 24, capture.size());
  EXPECT_EQ(decode(capture).result, 0);
  ask({44});
  EXPECT_EQ(channel->message(n++), (std::vector<uint8_t>{45, 0}));
  EXPECT_EQ(channel->message(n++), ScopeState::statusMessage(0, 0));
  // Unknown requests go unanswered.
  ask({99});
  ask({16});
  const std::vector<uint8_t> sig = channel->message(n++);
  EXPECT_EQ(sig[0], 17);
  EXPECT_EQ(sig.size(), 17u);
  state->detach(channel.get());
}

TEST(ScopeService, KnobsDelayDuplicateAndStall) {
  auto state = std::make_shared<ScopeState>();
  auto channel = std::make_shared<RecordingChannel>();
  state->attach(channel);
  state->setReplyDelay(300);
  const auto asked = std::chrono::steady_clock::now();
  state->onRequest(channel, {44});
  state->onRequest(channel, {16});
  EXPECT_EQ(channel->message(0), (std::vector<uint8_t>{45, 0}));
  EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(300));
  // Still in order behind the delayed one.
  EXPECT_EQ(channel->message(1), ScopeState::statusMessage(0, 0));
  EXPECT_EQ(channel->message(2)[0], 17);
  state->setReplyDelay(0);
  state->setDuplicateReplies(true);
  state->onRequest(channel, {66, 0, 0});
  EXPECT_EQ(channel->message(3), (std::vector<uint8_t>{67, 12}));
  EXPECT_EQ(channel->message(4), (std::vector<uint8_t>{67, 12}));
  state->setDuplicateReplies(false);
  state->setStallRaw(true);
  state->onRequest(channel, {48});
  {
    std::unique_lock<std::mutex> lock(channel->mutex);
    channel->cv.wait_for(lock, std::chrono::seconds(20), [&] { return !channel->current.empty(); });
    ASSERT_FALSE(channel->current.empty());
    EXPECT_EQ(channel->current[0], 49);
    // All of it (it is short) but never its last fragment.
    EXPECT_EQ(channel->current.size(), state->lastCapture().size() + 6);
  }
  EXPECT_EQ(channel->count(), 5u);
  state->detach(channel.get());
}

}  // namespace
