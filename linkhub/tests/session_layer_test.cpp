// SessionLayer over a scripted media: frames in, frames expected out.
#include <thread>

#include "session_script.h"
#include "vlntest/TimeSlack.h"

using linkhub::SessionLayer;

namespace linktest {
namespace {

// Whether the layer's timer may have asked for an acknowledgement's
// transfer of its own since `since`.
bool ackTimerMayHaveRun(std::chrono::steady_clock::time_point since) {
  return std::chrono::steady_clock::now() - since >=
         std::chrono::milliseconds(SessionLayer::kAckDelayMs);
}

Bytes pattern(size_t n, uint8_t seed = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7);
  return b;
}

// ---- handshake, parameters, fragments ---------------------------------------

TEST_F(LinkTest, HandshakeGivesChannelsAndFragmentsOfTheDeviceFrameLength) {
  startLayer();
  handshake(128, 4);
  EXPECT_EQ(layer_->maxFrameLength(), 128);
  EXPECT_EQ(layer_->channelCount(), 4);
  ASSERT_EQ(recorder_.identified().size(), 1u);
  EXPECT_TRUE(recorder_.identified()[0] == testId());

  uint8_t ch = 0xFF;
  for (uint8_t want = 0; want < 4; ++want) {
    ASSERT_TRUE(layer_->openChannel(uint8_t(10 + want), &ch));
    EXPECT_EQ(ch, want);
  }
  EXPECT_FALSE(layer_->openChannel(20, &ch)) << "only the device's four channels";

  // Channel 2 ends its message, channel 3 does not; each opens with its id.
  const Bytes data = pattern(300);
  ASSERT_TRUE(layer_->send(2, data.data(), 300, true));
  ASSERT_TRUE(layer_->send(3, data.data(), 300, false));
  struct Want {
    uint8_t ns;
    uint8_t channelByte;
    size_t dataLength;
    size_t offset;
  };
  // The two channels take turns.
  const Want wants[] = {{0, 0x22, 125, 0},   {1, 0x23, 125, 0},  {2, 0x02, 126, 125},
                        {3, 0x03, 126, 125}, {4, 0x12, 49, 251}, {5, 0x03, 49, 251}};
  int mode = kMediaTxFirst;
  for (const Want& w : wants) {
    Bytes f = build(mode);
    mode = kMediaTxFurther;
    ASSERT_TRUE(isI(f));
    EXPECT_EQ(ns(f), w.ns);
    EXPECT_EQ(nr(f), 0);
    EXPECT_FALSE(pf(f));
    EXPECT_EQ(f[1], w.channelByte);
    const size_t header = (w.channelByte & 0x20) ? 3 : 2;
    if (header == 3) {
      EXPECT_EQ(f[2], 10 + (w.channelByte & 0xF)) << "protocol id";
    }
    ASSERT_EQ(f.size(), header + w.dataLength);
    EXPECT_TRUE(std::equal(f.begin() + header, f.end(), data.begin() + w.offset));
    EXPECT_LE(f.size(), 128u);
  }
  EXPECT_TRUE(build(kMediaTxFurther).empty());
  EXPECT_TRUE(build(kMediaTxFirst).empty());
}

TEST_F(LinkTest, UFramesOfWrongLengthOrOutOfTurnAreIgnored) {
  startLayer();
  ASSERT_EQ(next(), Bytes{0x8F});
  receive(uFrame(0x63, {0x00}));  // a payload where none belongs
  receive(uFrame(0xEF));          // an unknown code
  receive(uFrame(0x73));          // 0x63 with the P/F bit set is the answer
  ASSERT_EQ(next(), Bytes{0xAF});
  receive(uFrame(0xCF, {0x80, 0x00, 0x04}));  // three payload bytes
  EXPECT_EQ(layer_->channelCount(), 0);
  receive(paramReply(128, 4));
  EXPECT_EQ(layer_->channelCount(), 4);
  ASSERT_EQ(next(), Bytes{0xA7});
  Bytes shortId = identityReply();
  shortId.pop_back();  // 15 bytes
  receive(shortId);
  EXPECT_FALSE(layer_->isLinkUp());
  receive(identityReply());
  ASSERT_TRUE(recorder_.waitIdentified(1));
  EXPECT_TRUE(layer_->isLinkUp());
  // A reset answer nobody asked for changes nothing.
  receive(uFrame(0x63));
  EXPECT_TRUE(layer_->isLinkUp());
  EXPECT_TRUE(build().empty());
}

TEST_F(LinkTest, ParameterReplyOnlyLowersTheFrameLength) {
  struct Case {
    uint16_t mediaMax;
    uint16_t announced;
    uint16_t want;
  };
  // 2000 arrives as its low ten bits, 976.
  const Case cases[] = {{1023, 2000, 976}, {255, 2000, 255}, {1023, 64, 64}, {2000, 1023, 1023}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.announced);
    stopLayer();
    startLayer(60000, c.mediaMax);
    handshake(c.announced, 2);
    EXPECT_EQ(layer_->maxFrameLength(), c.want);
  }
}

// ---- numbering, window, acknowledgements ---------------------------------------

TEST_F(LinkTest, SevenOutstandingFramesMakeOnePollAtATime) {
  upWithChannel0();
  const uint8_t one = 1;
  ASSERT_TRUE(layer_->send(0, &one, 1, true));
  ASSERT_EQ(ns(build()), 0);
  // Frame 0 acknowledged: the window is 1..7 now.
  receive(sFrame(0, 1));
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(layer_->send(0, &one, 1, true));
  for (uint8_t want = 1; want <= 7; ++want) {
    Bytes f = build();
    ASSERT_TRUE(isI(f)) << int(want);
    EXPECT_EQ(ns(f), want & 7);
    EXPECT_FALSE(pf(f));
  }
  // Window full: nothing new, a receive-ready with the poll bit instead...
  EXPECT_EQ(build(), sFrame(0, 0, true));
  // ...and no second poll until the device speaks or the idle call comes.
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(build().empty());
  EXPECT_TRUE(build(kMediaTxFurther).empty());
  EXPECT_EQ(build(kMediaTxIdle), sFrame(0, 0, true));

  // A reject from the device: the window is still full, so the frames sent
  // again ask for the acknowledgement, but only the last of them: the device
  // answers each poll, and an answer to an earlier one would send the rest
  // yet again.
  receive(sFrame(1, 1));
  Bytes again = build();
  ASSERT_TRUE(isI(again));
  EXPECT_EQ(ns(again), 1);
  EXPECT_FALSE(pf(again));
  for (uint8_t want = 2; want <= 7; ++want) {
    Bytes f = build(kMediaTxFurther);
    ASSERT_TRUE(isI(f));
    EXPECT_EQ(ns(f), want & 7);
    EXPECT_EQ(pf(f), want == 7) << int(want);
  }
  EXPECT_TRUE(build().empty());

  // The device has them all; the eighth frame goes once the window reopens.
  receive(sFrame(0, 0, true));
  Bytes eighth = build();
  ASSERT_TRUE(isI(eighth));
  EXPECT_EQ(ns(eighth), 0);
}

// One acknowledgement covering k outstanding frames lets k new ones go at
// once: nothing waits for a further frame from the device. (A ready S frame
// also sends the frames from its N(R) again, so the partial acknowledgement
// rides on an I frame of the device.)
TEST_F(LinkTest, AnAcknowledgementOpensTheWindowByAsManyFramesAsItCovers) {
  const uint8_t one = 1;
  for (uint8_t k : {uint8_t(1), uint8_t(3), uint8_t(7)}) {
    SCOPED_TRACE(int(k));
    stopLayer();
    upWithChannel0();
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(layer_->send(0, &one, 1, false));
    // Before the first acknowledgement six frames fill the window.
    for (uint8_t want = 0; want < 6; ++want) {
      Bytes f = build();
      ASSERT_TRUE(isI(f));
      ASSERT_EQ(ns(f), want);
    }
    ASSERT_EQ(build(), sFrame(0, 0, true));
    receive(sFrame(0, 6, true));  // all six arrived: seven may go now
    for (uint8_t i = 0; i < 7; ++i) {
      Bytes f = build();
      ASSERT_TRUE(isI(f)) << int(i);
      EXPECT_EQ(ns(f), (6 + i) & 7);
      EXPECT_FALSE(pf(f));
    }
    ASSERT_EQ(build(), sFrame(0, 0, true)) << "full: a poll instead";
    receive(iFrame(0, uint8_t((6 + k) & 7), 0x10, {'d'}));
    for (uint8_t i = 0; i < k; ++i) {
      Bytes f = build();
      ASSERT_TRUE(isI(f)) << int(i);
      EXPECT_EQ(ns(f), (13 + i) & 7);
      EXPECT_EQ(nr(f), 1);
    }
    EXPECT_EQ(build(), sFrame(0, 1, true)) << "full again after the " << int(k) << " new frames";
  }
}

// A window that fills within one transfer: the poll cannot go there, so the
// layer asks for the next transfer at once instead of leaving the stream to
// the idle call.
TEST_F(LinkTest, AWindowFilledInsideATransferPollsInTheNextOne) {
  upWithChannel0();
  const uint8_t one = 1;
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(layer_->send(0, &one, 1, true));
  ASSERT_TRUE(isI(build()));
  for (int i = 1; i < 6; ++i) ASSERT_TRUE(isI(build(kMediaTxFurther))) << i;
  const int before = media_.signals;
  EXPECT_TRUE(build(kMediaTxFurther).empty());
  EXPECT_GT(media_.signals, before) << "the full window asks for a transfer of its own";
  EXPECT_EQ(build(), sFrame(0, 0, true));
  // One poll at a time: the next calls neither poll nor ask again.
  const int afterPoll = media_.signals;
  EXPECT_TRUE(build(kMediaTxFurther).empty());
  EXPECT_TRUE(build().empty());
  EXPECT_EQ(media_.signals, afterPoll);
}

// The answer to a poll tells what arrived before the poll went; frames sent
// after it (the window reopened meanwhile) are still on their way. Only a
// loss before the poll sends frames again, and a reject answering the poll
// with the N(R) of a reject already acted on sends nothing twice.
TEST_F(LinkTest, APollsAnswerSendsAgainOnlyWhatWasLostBeforeThePoll) {
  struct Step {
    Bytes frame;                // from the device
    std::vector<uint8_t> want;  // N(S) of the I frames that go then, in one transfer
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  // The window is 3..1 then: what is not sent again, new frames fill.
  const Case cases[] = {
      {"nothing lost", {{sFrame(0, 6, true), {1, 2, 3}}}},
      {"4 and 5 lost", {{sFrame(0, 4, true), {4, 5, 6, 7, 0, 1, 2}}}},
      {"a reject acted on, then its repeat as the answer",
       {{sFrame(1, 4), {4, 5, 6, 7, 0, 1, 2}}, {sFrame(1, 4, true), {}}}},
  };
  const uint8_t b = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    stopLayer();
    upWithChannel0();
    for (int i = 0; i < 12; ++i) ASSERT_TRUE(layer_->send(0, &b, 1, false));
    for (uint8_t want = 0; want < 6; ++want) ASSERT_EQ(ns(build()), want);
    ASSERT_EQ(build(), sFrame(0, 0, true));
    // The device's reply acknowledges three before the poll has arrived.
    receive(iFrame(0, 3, 0x10, {9}));
    for (uint8_t want : {6, 7, 0}) {
      Bytes f = build();
      ASSERT_TRUE(isI(f));
      ASSERT_EQ(ns(f), want);
    }
    for (const Step& step : c.steps) {
      receive(step.frame);
      std::vector<uint8_t> sent;
      for (int mode = kMediaTxFirst;; mode = kMediaTxFurther) {
        Bytes f = build(mode);
        if (!isI(f)) break;
        sent.push_back(ns(f));
      }
      EXPECT_EQ(sent, step.want);
    }
  }
}

// Frames taken since the last N(R) the host sent may come again (the device
// sends its window again); they are no gap, so nothing is rejected.
TEST_F(LinkTest, FramesRepeatedSinceTheLastAcknowledgementAreNoGap) {
  upWithChannel0();
  for (uint8_t n = 0; n < 3; ++n) receive(iFrame(n, 0, 0x10, {n}));
  receive(iFrame(1, 0, 0x10, {1}));
  receive(iFrame(0, 0, 0x10, {0}));
  EXPECT_EQ(build(), sFrame(0, 3)) << "a ready, no reject";
  EXPECT_EQ(recorder_.data().size(), 3u);
  // Once acknowledged, an old number is a new frame after a gap.
  receive(iFrame(1, 0, 0x10, {1}));
  EXPECT_EQ(build(), sFrame(1, 3));
  EXPECT_EQ(recorder_.data().size(), 3u);
}

TEST_F(LinkTest, ReadyFromBehindResendsFromNrWithCurrentVr) {
  upWithChannel0();
  for (uint8_t i = 0; i < 5; ++i) ASSERT_TRUE(layer_->send(0, &i, 1, false));
  std::vector<Bytes> sent;
  for (int i = 0; i < 5; ++i) sent.push_back(build());
  receive(iFrame(0, 0, 0x10, {0xEE}));
  EXPECT_EQ(build(), sFrame(0, 1));
  receive(sFrame(0, 2));
  for (uint8_t want = 2; want < 5; ++want) {
    Bytes f = build(want == 2 ? kMediaTxFirst : kMediaTxFurther);
    ASSERT_TRUE(isI(f));
    EXPECT_EQ(ns(f), want);
    EXPECT_EQ(nr(f), 1) << "the current V(R), not the one it was first sent with";
    EXPECT_EQ(Bytes(f.begin() + 1, f.end()), Bytes(sent[want].begin() + 1, sent[want].end()));
  }
  EXPECT_TRUE(build().empty());
}

TEST_F(LinkTest, OutOfSequenceFrameIsRejectedAndRepeatsDeliveredOnce) {
  upWithChannel0();
  receive(iFrame(0, 0, 0x10, {'a'}));
  EXPECT_EQ(build(), sFrame(0, 1));
  receive(iFrame(0, 0, 0x10, {'a'}));  // a repeat: acknowledged, not delivered
  EXPECT_EQ(build(), sFrame(0, 1));
  receive(iFrame(2, 0, 0x10, {'c'}));  // frame 1 went missing
  receive(iFrame(1, 0, 0x10, {'b'}));  // taken only after the reject has gone
  EXPECT_TRUE(build(kMediaTxFurther).empty()) << "S frames never follow in a transfer";
  EXPECT_EQ(build(), sFrame(1, 1));
  receive(iFrame(1, 0, 0x10, {'b'}));
  EXPECT_EQ(build(), sFrame(0, 2));
  auto data = recorder_.data();
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0].bytes, Bytes{'a'});
  EXPECT_EQ(data[1].bytes, Bytes{'b'});
  EXPECT_TRUE(data[1].last);
}

TEST_F(LinkTest, BusyDeviceHoldsFramesAndASecondBusyIsAnswered) {
  upWithChannel0();
  const uint8_t b = 1;
  ASSERT_TRUE(layer_->send(0, &b, 1, false));
  ASSERT_EQ(ns(build()), 0);
  receive(sFrame(2, 1));  // busy, frame 0 taken
  ASSERT_TRUE(layer_->send(0, &b, 1, false));
  EXPECT_TRUE(build().empty());
  receive(sFrame(2, 1));
  EXPECT_EQ(build(), sFrame(0, 0));
  EXPECT_TRUE(build().empty());
  EXPECT_EQ(build(kMediaTxIdle), sFrame(0, 0, true)) << "the idle call still asks";
  receive(sFrame(0, 1));
  Bytes f = build();
  ASSERT_TRUE(isI(f));
  EXPECT_EQ(ns(f), 1);
}

TEST_F(LinkTest, EmptyFragmentsCarryMessageEndsBothWays) {
  upWithChannel0();
  const uint8_t x = 9;
  ASSERT_TRUE(layer_->send(0, &x, 1, false));
  ASSERT_TRUE(layer_->send(0, nullptr, 0, false));
  EXPECT_EQ(build().size(), 4u);
  EXPECT_TRUE(build().empty()) << "an empty send without the last flag queues nothing";
  ASSERT_TRUE(layer_->send(0, nullptr, 0, true));
  Bytes end = build();
  ASSERT_EQ(end.size(), 2u);
  EXPECT_EQ(end[1], 0x10);
  receive(iFrame(0, 2, 0x00, {1, 2}));
  receive(iFrame(1, 2, 0x10));
  auto data = recorder_.data();
  ASSERT_EQ(data.size(), 2u);
  EXPECT_FALSE(data[0].last);
  EXPECT_TRUE(data[1].bytes.empty());
  EXPECT_TRUE(data[1].last);
}

TEST_F(LinkTest, SendIsRefusedOnFreeChannelsAndWhileStopping) {
  startLayer(100);
  handshake();
  const uint8_t b = 1;
  EXPECT_FALSE(layer_->send(1, &b, 1, true));
  EXPECT_FALSE(layer_->send(16, &b, 1, true));
  uint8_t ch;
  ASSERT_TRUE(layer_->openChannel(3, &ch));
  layer_->requestStop();
  EXPECT_EQ(next(), Bytes{0x8F}) << "the device hears of the stop";
  EXPECT_FALSE(layer_->send(ch, &b, 1, true));
  EXPECT_FALSE(layer_->openChannel(3, &ch));
  layer_->stop();
  EXPECT_EQ(media_.disconnects, 1);
}

// ---- closes --------------------------------------------------------------------

TEST_F(LinkTest, CloseBeforeTheFirstFrameSendsNothing) {
  // Closed before any data, and closed with its opening frame still queued:
  // the device never heard of the channel, so it is free at once.
  for (bool queued : {false, true}) {
    SCOPED_TRACE(queued ? "opening frame queued" : "nothing queued");
    if (!queued) {
      upWithChannel0();
    } else {
      uint8_t opened = 0xFF;
      ASSERT_TRUE(layer_->openChannel(5, &opened));
      ASSERT_EQ(opened, 0);
      const Bytes data = pattern(10);
      ASSERT_TRUE(layer_->send(0, data.data(), 10, true));
    }
    layer_->closeChannel(0);
    EXPECT_TRUE(build().empty());
    uint8_t ch = 0xFF;
    ASSERT_TRUE(layer_->openChannel(6, &ch));
    EXPECT_EQ(ch, 0);
    layer_->closeChannel(0);
  }
}

TEST_F(LinkTest, HostCloseDropsUnsentDataAndEndsOnTheDeviceAnswer) {
  upWithChannel0();
  const Bytes data = pattern(10);
  ASSERT_TRUE(layer_->send(0, data.data(), 10, true));
  ASSERT_EQ(ns(build()), 0);
  ASSERT_TRUE(layer_->send(0, data.data(), 10, true));
  layer_->closeChannel(0);
  Bytes close = build();
  EXPECT_EQ(close, (Bytes{0x02, 0x00}));
  EXPECT_TRUE(build().empty());
  uint8_t ch = 0xFF;
  ASSERT_TRUE(layer_->openChannel(6, &ch));
  EXPECT_EQ(ch, 1) << "channel 0 is still closing";
  receive(iFrame(0, 2, 0x00));
  EXPECT_TRUE(recorder_.closed().empty()) << "the host's own close is not reported";
  ASSERT_TRUE(layer_->openChannel(7, &ch));
  EXPECT_EQ(ch, 0);
}

// Channel 0 (of two) sent one frame (N(S) 0), then its close (N(S) 1) went
// out at a time no later than the one returned; the device has not answered.
std::chrono::steady_clock::time_point closeChannel0Unanswered(LinkTest& t, SessionLayer& layer) {
  uint8_t ch = 0xFF;
  EXPECT_TRUE(layer.openChannel(5, &ch));
  EXPECT_EQ(ch, 0);
  const uint8_t b = 1;
  EXPECT_TRUE(layer.send(ch, &b, 1, true));
  EXPECT_EQ(t.build().size(), 4u);
  const auto closedBy = std::chrono::steady_clock::now();
  layer.closeChannel(ch);
  EXPECT_EQ(t.build(), (Bytes{0x02, 0x00}));
  return closedBy;
}

TEST_F(LinkTest, UnansweredCloseCountsAsDoneAfterTheTimeoutButIsReusedLast) {
  constexpr auto kCloseTimeout = std::chrono::milliseconds(400);
  startLayer(60000, 1023, uint16_t(kCloseTimeout.count()));
  handshake(128, 2);
  const auto closedBy = closeChannel0Unanswered(*this, *layer_);
  uint8_t other = 0xFF;
  ASSERT_TRUE(layer_->openChannel(5, &other));
  EXPECT_EQ(other, 1) << "channel 0 is still closing";
  // Never before the time-out: a call that ended earlier must be refused.
  for (;;) {
    uint8_t ch = 0xFF;
    const bool opened = layer_->openChannel(5, &ch);
    const auto returned = std::chrono::steady_clock::now();
    if (opened) {
      EXPECT_EQ(ch, 0);
      EXPECT_GE(returned - closedBy, kCloseTimeout) << "channel 0 reused before its close time-out";
      break;
    }
    ASSERT_LT(returned - closedBy, kCloseTimeout + vlntest::slackBound(std::chrono::seconds(10)))
        << "channel 0 never came back";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // A channel that is free goes before one whose close may still be answered.
  layer_->closeChannel(0);  // never sent a frame: free at once, late answer still due
  layer_->closeChannel(1);  // ditto, nothing due
  uint8_t ch = 0xFF;
  ASSERT_TRUE(layer_->openChannel(6, &ch));
  EXPECT_EQ(ch, 1);
  ASSERT_TRUE(layer_->openChannel(6, &ch));
  EXPECT_EQ(ch, 0);
}

TEST_F(LinkTest, LateAnswerToATimedOutCloseLeavesTheReopenedChannelOpen) {
  // With the late answer, and without it (the device acknowledges the
  // opening first): either way the channel stays open until the device
  // itself closes it after the opening.
  for (bool lateAnswer : {true, false}) {
    SCOPED_TRACE(lateAnswer ? "late answer" : "no late answer");
    stopLayer();
    startLayer(60000, 1023, 1);
    handshake(128, 1, lateAnswer ? 1 : 2);
    const size_t closedBefore = recorder_.closed().size();
    const size_t dataBefore = recorder_.data().size();
    const auto closedBy = closeChannel0Unanswered(*this, *layer_);
    uint8_t ch = 0xFF;
    while (!layer_->openChannel(7, &ch)) {
      ASSERT_LT(std::chrono::steady_clock::now() - closedBy,
                vlntest::slackBound(std::chrono::seconds(10)));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(ch, 0);
    const uint8_t request = 0x33;
    ASSERT_TRUE(layer_->send(0, &request, 1, true));
    EXPECT_EQ(build(), (Bytes{0x04, 0x30, 7, 0x33})) << "N(S) 2, first fragment of protocol 7";
    uint8_t ns = 0;
    if (lateAnswer) {
      // The answer to the old close, sent before the device saw the new
      // opening: its N(R) of 2 acknowledges the close but not the opening.
      receive(iFrame(ns++, 2, 0x00));
      EXPECT_EQ(recorder_.closed().size(), closedBefore);
    }
    // The reply on the new channel, acknowledging the opening: data for an
    // open channel, not a reason to reset the link.
    receive(iFrame(ns++, 3, 0x10, {0x44}));
    const auto data = recorder_.data();
    ASSERT_EQ(data.size(), dataBefore + 1);
    EXPECT_EQ(data.back().channel, 0);
    EXPECT_EQ(data.back().bytes, Bytes{0x44});
    EXPECT_TRUE(layer_->isLinkUp());
    EXPECT_EQ(build(), sFrame(0, ns));
    ASSERT_TRUE(layer_->send(0, &request, 1, true));
    // After the opening was acknowledged a close from the device is its own.
    receive(iFrame(ns++, 3, 0x00));
    ASSERT_EQ(recorder_.closed().size(), closedBefore + 1);
    EXPECT_EQ(recorder_.closed().back(), 0);
    EXPECT_FALSE(layer_->send(0, &request, 1, true));
  }
}

TEST_F(LinkTest, DeviceCloseIsReportedAndDropsQueuedData) {
  upWithChannel0();
  const uint8_t b = 1;
  ASSERT_TRUE(layer_->send(0, &b, 1, true));
  build();
  ASSERT_TRUE(layer_->send(0, &b, 1, true));
  receive(iFrame(0, 1, 0x00));
  EXPECT_EQ(recorder_.closed(), std::vector<uint8_t>{0});
  EXPECT_EQ(build(), sFrame(0, 1)) << "only the acknowledgement; the queued data is gone";
  EXPECT_TRUE(build().empty());
  EXPECT_FALSE(layer_->send(0, &b, 1, true));
}

TEST_F(LinkTest, LinkResetReportsOpenChannelsButNotClosingOnes) {
  upWithChannel0();
  uint8_t ch1, ch2;
  ASSERT_TRUE(layer_->openChannel(6, &ch1));
  ASSERT_TRUE(layer_->openChannel(7, &ch2));
  const uint8_t b = 1;
  ASSERT_TRUE(layer_->send(0, &b, 1, true));
  ASSERT_TRUE(layer_->send(ch1, &b, 1, true));
  build();
  build();
  layer_->closeChannel(ch1);
  build();
  // Data on channel 3, which the host never opened: a protocol error.
  receive(iFrame(0, 0, 0x13, {1}));
  EXPECT_EQ(recorder_.closed(), (std::vector<uint8_t>{0, 2}));
  EXPECT_FALSE(layer_->isLinkUp());
  EXPECT_EQ(next(), Bytes{0x8F});
  uint8_t ch;
  EXPECT_FALSE(layer_->openChannel(5, &ch)) << "no channels before the device answers again";
}

// ---- mended faults ---------------------------------------------------------------

TEST_F(LinkTest, ResetAfterIdentificationIsRetriedUntilAnswered) {
  startLayer(250);
  handshake();
  uint8_t ch;
  ASSERT_TRUE(layer_->openChannel(5, &ch));
  receive(iFrame(0, 0, 0x13, {1}));  // protocol error: reset
  ASSERT_EQ(next(), Bytes{0x8F});
  // That 0x8F is lost: another follows after a wait period, and another.
  ASSERT_EQ(next(), Bytes{0x8F});
  ASSERT_EQ(next(), Bytes{0x8F});
  EXPECT_FALSE(layer_->openChannel(5, &ch));
  // A lost reset answer is retried the same way.
  receive(uFrame(0x63));
  ASSERT_EQ(next(), Bytes{0xAF});
  ASSERT_EQ(next(), Bytes{0x8F});
  EXPECT_FALSE(layer_->openChannel(5, &ch));
  handshake(128, 4, 2);
  EXPECT_TRUE(layer_->openChannel(5, &ch));
}

TEST_F(LinkTest, AcknowledgementOfFramesNeverSentResetsTheLink) {
  const Bytes errors[] = {sFrame(0, 4), sFrame(1, 5), sFrame(2, 3), iFrame(0, 6, 0x10, {1})};
  for (const Bytes& bad : errors) {
    SCOPED_TRACE(int(bad[0]));
    stopLayer();
    upWithChannel0();
    const uint8_t b = 1;
    ASSERT_TRUE(layer_->send(0, &b, 1, false));
    ASSERT_TRUE(layer_->send(0, &b, 1, false));
    build();
    build();  // V(S) is 2
    receive(bad);
    EXPECT_FALSE(layer_->isLinkUp());
    EXPECT_EQ(next(), Bytes{0x8F});
  }
}

TEST_F(LinkTest, LateAcknowledgementIsIgnored) {
  upWithChannel0();
  for (uint8_t i = 0; i < 4; ++i) ASSERT_TRUE(layer_->send(0, &i, 1, false));
  for (int i = 0; i < 4; ++i) build();
  receive(sFrame(0, 3));  // frames 0-2 arrived; 3 again
  Bytes again = build();
  ASSERT_TRUE(isI(again));
  EXPECT_EQ(ns(again), 3);
  // A ready that the device sent before the last one, overtaken on the way:
  // it must not send 1 and 2 again.
  receive(sFrame(0, 1));
  EXPECT_TRUE(layer_->isLinkUp());
  EXPECT_TRUE(build().empty());
  // The same for the N(R) of a late I frame, whose data is still taken.
  receive(sFrame(0, 4));
  receive(iFrame(0, 3, 0x10, {7}));
  EXPECT_TRUE(layer_->isLinkUp());
  ASSERT_EQ(recorder_.data().size(), 1u);
  EXPECT_EQ(build(), sFrame(0, 1));
}

// A receiver without room for more: the device's frame is left unaccepted
// (V(R) stays, nothing is delivered, nothing behind it is rejected) so that
// the device keeps it; once there is room a reject asks for it again.
TEST_F(LinkTest, AReceiverWithoutRoomHoldsTheDeviceBackUntilItHasRoom) {
  enum class Resume { kTold, kNextFrame, kChannelClosed };
  for (Resume resume : {Resume::kTold, Resume::kNextFrame, Resume::kChannelClosed}) {
    SCOPED_TRACE(int(resume));
    stopLayer();
    recorder_.room = true;
    const size_t before = recorder_.data().size();  // of the cases before
    upWithChannel0();
    const uint8_t x = 'x';
    ASSERT_TRUE(layer_->send(0, &x, 1, false));
    ASSERT_TRUE(isI(build()));  // the device has heard of the channel
    receive(iFrame(0, 1, 0x10, {'a'}));
    EXPECT_EQ(build(), sFrame(0, 1));
    recorder_.room = false;
    receive(iFrame(1, 1, 0x10, {'b'}));
    receive(iFrame(2, 1, 0x10, {'c'}));  // behind the held one
    EXPECT_EQ(build(), sFrame(0, 1)) << "N(R) stays at the held frame, and no reject";
    EXPECT_EQ(build(kMediaTxIdle), sFrame(0, 1, true));
    receive(iFrame(1, 1, 0x10, {'b'}));  // sent again on the poll: still no room
    EXPECT_EQ(build(), sFrame(0, 1));
    layer_->resumeReceive();  // told, but still without room
    EXPECT_EQ(build(), Bytes{});
    EXPECT_EQ(recorder_.data().size(), before + 1);
    EXPECT_TRUE(layer_->isLinkUp());

    if (resume == Resume::kChannelClosed) {
      // Nobody waits for its data any more: the link goes on.
      layer_->closeChannel(0);
      EXPECT_EQ(build(), sFrame(1, 1));
      Bytes close = build();
      ASSERT_TRUE(isI(close));
      EXPECT_EQ(close.size(), 2u);
      continue;
    }
    recorder_.room = true;
    const int signals = media_.signals;
    if (resume == Resume::kTold) {
      layer_->resumeReceive();
      EXPECT_GT(media_.signals, signals);
      EXPECT_EQ(build(), sFrame(1, 1)) << "a reject asks for everything from the held frame";
    } else {
      EXPECT_EQ(build(kMediaTxIdle), sFrame(1, 1, true));
    }
    receive(iFrame(1, 1, 0x10, {'b'}));
    receive(iFrame(2, 1, 0x10, {'c'}));
    EXPECT_EQ(build(), sFrame(0, 3));
    const auto data = recorder_.data();
    ASSERT_EQ(data.size(), before + 3);
    EXPECT_EQ(data[before].bytes, Bytes{'a'});
    EXPECT_EQ(data[before + 1].bytes, Bytes{'b'});
    EXPECT_EQ(data[before + 2].bytes, Bytes{'c'});
  }
}

TEST_F(LinkTest, ParameterReplyBelowFourIsAProtocolError) {
  startLayer(200);
  ASSERT_EQ(next(), Bytes{0x8F});
  receive(uFrame(0x63));
  ASSERT_EQ(next(), Bytes{0xAF});
  receive(paramReply(3, 4));
  EXPECT_EQ(layer_->channelCount(), 0);
  EXPECT_EQ(next(), Bytes{0x8F}) << "no identity request; the handshake starts over";
  uint8_t ch;
  EXPECT_FALSE(layer_->openChannel(1, &ch));
}

TEST_F(LinkTest, ReceivedFramesSetTheTransmitEventWhenSomethingIsDue) {
  struct Case {
    const char* name;
    std::function<void(LinkTest&)> prepare;  // after upWithChannel0
    Bytes frame;
    bool wantSignal;
  };
  auto fillWindow = [](LinkTest& t) {
    const uint8_t b = 1;
    for (int i = 0; i < 8; ++i) t.layer_->send(0, &b, 1, false);
    for (int i = 0; i < 6; ++i) t.build();  // six outstanding: the window of a fresh link
    ASSERT_EQ(t.build(), sFrame(0, 0, true));
  };
  auto twoUnacknowledged = [](LinkTest& t) {
    t.receive(iFrame(0, 0, 0x10, {1}));
    t.receive(iFrame(1, 0, 0x10, {2}));
  };
  const Case cases[] = {
      {"an I frame's acknowledgement waits for the next transfer", [](LinkTest&) {},
       iFrame(0, 0, 0x10, {1}), false},
      {"a second one still waits", [](LinkTest& t) { t.receive(iFrame(0, 0, 0x10, {1})); },
       iFrame(1, 0, 0x10, {2}), false},
      {"the third unacknowledged one is acknowledged at once", twoUnacknowledged,
       iFrame(2, 0, 0x10, {3}), true},
      {"an I frame with P asks for the acknowledgement", [](LinkTest&) {},
       iFrame(0, 0, 0x10, {1}, true), true},
      {"a repeat of the last frame is acknowledged at once",
       [](LinkTest& t) {
         t.receive(iFrame(0, 0, 0x10, {1}));
         ASSERT_EQ(t.build(), sFrame(0, 1));
       },
       iFrame(0, 0, 0x10, {1}), true},
      {"an out-of-sequence I frame is rejected", [](LinkTest&) {}, iFrame(3, 0, 0x10, {1}), true},
      {"an I frame opens a full window", fillWindow, iFrame(0, 6, 0x10, {1}), true},
      {"a poll S frame from the device", [](LinkTest&) {}, sFrame(0, 0, true), true},
      {"the answer to our poll with nothing to send",
       [](LinkTest& t) { ASSERT_EQ(t.build(kMediaTxIdle), sFrame(0, 0, true)); },
       sFrame(0, 0, true), false},
      {"an acknowledgement opens a full window", fillWindow, sFrame(0, 6), true},
      {"a reject moves the cursor back", fillWindow, sFrame(1, 2), true},
      {"busy ends with frames queued",
       [](LinkTest& t) {
         const uint8_t b = 1;
         t.receive(sFrame(2, 0));
         t.layer_->send(0, &b, 1, false);
         // The media answers the send's request; the busy device gets nothing.
         ASSERT_TRUE(t.build().empty());
       },
       sFrame(0, 0), true},
      {"a ready with nothing to do", [](LinkTest&) {}, sFrame(0, 0), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    stopLayer();
    upWithChannel0();
    const auto start = std::chrono::steady_clock::now();
    c.prepare(*this);
    const int before = media_.signals;
    receive(c.frame);
    const bool signalled = media_.signals > before;
    // A waiting acknowledgement is asked for by the layer's timer later on.
    if (c.wantSignal || !ackTimerMayHaveRun(start)) {
      EXPECT_EQ(signalled, c.wantSignal);
    }
  }
}

// The media calls the frame builder after the transmit event anyway, and
// that call sees everything queued before it: the event is set once between
// two builder calls, and again for what comes after one.
TEST_F(LinkTest, TheTransmitEventIsSetOnceBetweenTwoBuilderCalls) {
  upWithChannel0();
  const uint8_t b = 1;
  int before = media_.signals;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(layer_->send(0, &b, 1, false));
  EXPECT_EQ(media_.signals - before, 1) << "three sends before the builder runs";
  ASSERT_TRUE(isI(build()));
  before = media_.signals;
  ASSERT_TRUE(layer_->send(0, &b, 1, false));
  EXPECT_EQ(media_.signals - before, 1) << "a send after a builder call asks again";
  // Everything asked for before a builder call goes, whichever call it is.
  ASSERT_TRUE(isI(build(kMediaTxFurther)));
  ASSERT_TRUE(isI(build(kMediaTxFurther)));
  ASSERT_TRUE(isI(build(kMediaTxFurther)));
  EXPECT_TRUE(build(kMediaTxFurther).empty());
  before = media_.signals;
  ASSERT_TRUE(layer_->send(0, &b, 1, false));
  EXPECT_EQ(media_.signals - before, 1);
}

// Request/reply: each request asks for one transfer, and the reply's
// acknowledgement rides on the next request: no frame carries only an
// acknowledgement, and none is asked for. The last reply's goes by the timer,
// long before the idle call (a minute here).
TEST_F(LinkTest, AReplyIsAcknowledgedByTheNextRequest) {
  upWithChannel0();
  constexpr int kExchanges = 20;
  auto replyAt = std::chrono::steady_clock::now();
  for (int i = 0; i < kExchanges; ++i) {
    SCOPED_TRACE(i);
    const int before = media_.signals;
    const uint8_t request = uint8_t(i);
    ASSERT_TRUE(layer_->send(0, &request, 1, true));
    Bytes f = build();
    ASSERT_TRUE(isI(f)) << "no acknowledgement of its own before the request";
    EXPECT_EQ(ns(f), i & 7);
    EXPECT_EQ(nr(f), i & 7) << "acknowledges the reply before it";
    EXPECT_TRUE(build(kMediaTxFurther).empty());
    const int asked = media_.signals - before;
    if (ackTimerMayHaveRun(replyAt)) {
      EXPECT_LE(asked, 2);
    } else {
      EXPECT_EQ(asked, 1) << "the request's transfer only";
    }
    media_.txSignal.reset();
    replyAt = std::chrono::steady_clock::now();
    const int beforeReply = media_.signals;
    receive(iFrame(uint8_t(i & 7), uint8_t((i + 1) & 7), 0x10, {uint8_t(~i)}));
    EXPECT_EQ(media_.signals, beforeReply) << "the reply asks for no transfer";
  }
  ASSERT_EQ(recorder_.data().size(), size_t(kExchanges));
  // Nothing follows the last reply: the timer asks for its acknowledgement.
  ASSERT_FALSE(media_.txSignal.timedWait(vlntest::slackBound(std::chrono::seconds(10)).count()));
  EXPECT_GE(std::chrono::steady_clock::now() - replyAt,
            std::chrono::milliseconds(SessionLayer::kAckDelayMs));
  EXPECT_EQ(build(), sFrame(0, kExchanges & 7));
  EXPECT_TRUE(build().empty());
}

// A device streaming to the host in bursts of frames, its window of seven
// counted from the host's latest acknowledgement or, as devsim counts it,
// from the one before. The media builds a transfer whenever the layer asks
// after a burst. The device must never find its window full without an
// acknowledgement asked for, and the stream's last frames are acknowledged
// by the timer, not left to the idle call.
TEST_F(LinkTest, AOneWayDeviceStreamIsAcknowledgedBeforeTheWindowFills) {
  struct Case {
    int burst;
    bool fromBeforeLast;
  };
  const Case cases[] = {{1, false}, {3, false}, {7, false}, {1, true},
                        {2, true},  {3, true},  {7, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "burst " << c.burst << (c.fromBeforeLast ? ", from the one before" : ""));
    stopLayer();
    const size_t delivered = recorder_.data().size();
    upWithChannel0();
    constexpr int kFrames = 100;
    uint8_t vs = 0, acked = 0, ackedBefore = 0;
    int sent = 0;
    int signals = media_.signals;
    auto lastFrameAt = std::chrono::steady_clock::now();
    while (sent < kFrames) {
      auto room = [&] {
        return linkproto::seqDistance(c.fromBeforeLast ? ackedBefore : acked, vs) < 7;
      };
      ASSERT_TRUE(room()) << "the device's window is full at frame " << sent;
      for (int b = 0; b < c.burst && sent < kFrames && room(); ++b) {
        lastFrameAt = std::chrono::steady_clock::now();
        receive(iFrame(vs, 0, 0x10, {uint8_t(sent)}));
        vs = uint8_t((vs + 1) & 7);
        ++sent;
      }
      // The media answers every request, also one made while it builds.
      while (media_.signals != signals) {
        signals = media_.signals;
        const Bytes f = build();
        if (f.empty()) break;  // the timer's, for an acknowledgement already gone
        ASSERT_TRUE(isS(f, 0)) << "at frame " << sent;
        EXPECT_FALSE(pf(f));
        ackedBefore = acked;
        acked = nr(f);
      }
    }
    if (acked != vs) {
      media_.txSignal.reset();
      if (media_.signals == signals) {
        ASSERT_FALSE(
            media_.txSignal.timedWait(vlntest::slackBound(std::chrono::seconds(10)).count()));
      }
      EXPECT_GE(std::chrono::steady_clock::now() - lastFrameAt,
                std::chrono::milliseconds(SessionLayer::kAckDelayMs));
      EXPECT_EQ(build(), sFrame(0, vs));
    }
    EXPECT_EQ(recorder_.data().size(), delivered + kFrames);
  }
}

// A poll from the device is answered at once, with a plain ready (a final
// bit would be taken for a poll in turn), or by the frame going anyway.
TEST_F(LinkTest, APollFromTheDeviceIsAnsweredAtOnce) {
  upWithChannel0();
  receive(iFrame(0, 0, 0x10, {1}));
  const int before = media_.signals;
  receive(sFrame(0, 0, true));
  EXPECT_GT(media_.signals, before);
  EXPECT_EQ(build(), sFrame(0, 1));
  receive(iFrame(1, 0, 0x10, {2}, true));
  EXPECT_GT(media_.signals, before + 1);
  EXPECT_EQ(build(), sFrame(0, 2));
  // With a request waiting the request carries the answer.
  const uint8_t b = 3;
  ASSERT_TRUE(layer_->send(0, &b, 1, true));
  receive(sFrame(0, 0, true));
  Bytes f = build();
  ASSERT_TRUE(isI(f));
  EXPECT_EQ(nr(f), 2);
  EXPECT_FALSE(pf(f));
  EXPECT_TRUE(build(kMediaTxFurther).empty());
}

// A poll of a full window that goes unanswered (it, or its answer, was lost)
// goes again after a short wait, not at the idle call; a poll of an idle link
// is left to the idle call.
TEST_F(LinkTest, AnUnansweredPollOfAFullWindowGoesAgain) {
  upWithChannel0();
  const uint8_t b = 1;
  for (int i = 0; i < 7; ++i) ASSERT_TRUE(layer_->send(0, &b, 1, false));
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(isI(build()));
  media_.txSignal.reset();
  const auto polled = std::chrono::steady_clock::now();
  ASSERT_EQ(build(), sFrame(0, 0, true));
  EXPECT_TRUE(build().empty()) << "one poll at a time";
  ASSERT_FALSE(media_.txSignal.timedWait(vlntest::slackBound(std::chrono::seconds(10)).count()));
  EXPECT_GE(std::chrono::steady_clock::now() - polled,
            std::chrono::milliseconds(SessionLayer::kPollRetryMs));
  EXPECT_EQ(build(), sFrame(0, 0, true));
  // The device answers: the window opens and the last frame goes.
  receive(sFrame(0, 6, true));
  Bytes f = build();
  ASSERT_TRUE(isI(f));
  EXPECT_EQ(ns(f), 6);

  stopLayer();
  upWithChannel0();
  media_.txSignal.reset();
  ASSERT_EQ(build(kMediaTxIdle), sFrame(0, 0, true));
  EXPECT_TRUE(media_.txSignal.timedWait(4 * SessionLayer::kPollRetryMs))
      << "nothing waits for the idle poll's answer";
}

// ---- thread --------------------------------------------------------------------

TEST_F(LinkTest, MediaFailuresEndTheThreadWithoutBlockingTheCreator) {
  media_.failInfo = true;
  startLayer();
  EXPECT_FALSE(layer_->isConnected());
  EXPECT_EQ(media_.connects, 0);
  layer_->stop();
  media_.failInfo = false;
  media_.failConnect = true;
  startLayer();
  layer_->stop();
  EXPECT_EQ(media_.disconnects, 0);
  uint8_t ch;
  EXPECT_FALSE(layer_->openChannel(1, &ch));
}

// A media that reports a frame too short for a fragment with data gets no
// link; the shortest usable one carries a byte per fragment.
TEST_F(LinkTest, AMediaFrameLengthTooShortForDataIsRefused) {
  for (uint16_t mediaMax : {0, 1, 2, 3}) {
    SCOPED_TRACE(mediaMax);
    stopLayer();
    const int connects = media_.connects;
    startLayer(60000, mediaMax);
    EXPECT_FALSE(layer_->isConnected());
    EXPECT_EQ(media_.connects, connects);
  }
  stopLayer();
  startLayer(60000, 4);
  handshake(128, 2);
  EXPECT_EQ(layer_->maxFrameLength(), 4);
  uint8_t ch = 99;
  ASSERT_TRUE(layer_->openChannel(5, &ch));
  const Bytes data = pattern(3);
  ASSERT_TRUE(layer_->send(ch, data.data(), 3, true));
  const Bytes want[] = {{0x00, 0x20, 5, data[0]}, {0x02, 0x10, data[1], data[2]}};
  for (const Bytes& w : want) EXPECT_EQ(build(), w);
}

TEST_F(LinkTest, StopBeforeIdentificationEndsAtOnce) {
  startLayer();
  ASSERT_EQ(next(), Bytes{0x8F});
  auto t0 = std::chrono::steady_clock::now();
  layer_->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
  EXPECT_EQ(media_.disconnects, 1);
}

}  // namespace
}  // namespace linktest
