// The frame layout both ends share, checked against bytes written out by hand
// so that a slip in a shift or a mask shows here and not as a silent
// agreement between host and device.
#include <gtest/gtest.h>

#include <vector>

#include "linkproto/LinkProtocol.h"

namespace {

using namespace linkproto;

TEST(LinkProtocol, ControlBytesMatchTheirHandWrittenForms) {
  struct Case {
    const char* name;
    uint8_t built;
    uint8_t want;
  };
  const Case cases[] = {
      {"RR nr 0", sControl(kSReady, 0, false), 0x01},
      {"RR nr 7 poll", sControl(kSReady, 7, true), 0xF1},
      {"REJ nr 5 poll", sControl(kSReject, 5, true), 0xB5},
      {"RNR nr 2", sControl(kSBusy, 2, false), 0x49},
      {"I ns 0 nr 0", iControl(0, 0, false), 0x00},
      {"I ns 7 nr 7 poll", iControl(7, 7, true), 0xFE},
      {"I ns 3 nr 6", iControl(3, 6, false), 0xC6},
      {"restamp keeps N(S), drops old P/F and N(R)", iControlWithNr(0xFE, 1, false), 0x2E},
      {"restamp with poll", iControlWithNr(0x06, 4, true), 0x96},
      {"channel 15 first", channelByte(15, true, false), 0x2F},
      {"channel 3 last", channelByte(3, false, true), 0x13},
      {"channel 0 whole message", channelByte(0, true, true), 0x30},
      {"reset with P/F is a reset", uFrameCode(0x9F), kResetRequest},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.built, c.want);
  }
}

TEST(LinkProtocol, ControlBytesDecodeIntoTheirFields) {
  EXPECT_TRUE(isIFrame(0xFE));
  EXPECT_FALSE(isSFrame(0xFE));
  EXPECT_EQ(frameNs(0xFE), 7);
  EXPECT_EQ(frameNr(0xFE), 7);
  EXPECT_TRUE(hasPf(0xFE));
  EXPECT_TRUE(isSFrame(0xB5));
  EXPECT_EQ(sFrameType(0xB5), kSReject);
  EXPECT_EQ(frameNr(0xB5), 5);
  for (uint8_t u : {kResetRequest, kResetAnswer, kParamRequest, kParamAnswer, kIdentityRequest,
                    kIdentityAnswer}) {
    EXPECT_TRUE(isUFrame(u)) << int(u);
  }
  EXPECT_EQ(channelOf(0x3C), 12);
  EXPECT_TRUE(isFirstFragment(0x2C));
  EXPECT_FALSE(isLastFragment(0x2C));
}

TEST(LinkProtocol, SequenceNumbersWrapAtEight) {
  EXPECT_EQ(seqAdd(7, 1), 0);
  EXPECT_EQ(seqAdd(0, -1), 7);
  EXPECT_EQ(seqDistance(6, 1), 3);
  EXPECT_EQ(seqDistance(1, 6), 5);
}

TEST(LinkProtocol, ParameterAnswerIsTwoLittleEndianFieldsCutToTheirBits) {
  EXPECT_EQ(paramAnswer({0x1FF, 4}), (std::vector<uint8_t>{0xCF, 0xFF, 0x01, 0x04, 0x00}));
  struct Case {
    std::vector<uint8_t> payload;
    bool ok;
    uint16_t maxFrame;
    uint16_t channels;
  };
  const Case cases[] = {
      {{0xD0, 0x07, 0x12, 0x00}, true, 976, 2},  // 2000 and 18 arrive as their low bits
      {{0xFF, 0x03, 0x0F, 0x00}, true, 1023, 15},
      {{0x80, 0x00, 0x04}, false, 0, 0},
      {{0x80, 0x00, 0x04, 0x00, 0x00}, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload.size());
    LinkParams p;
    EXPECT_EQ(readParamAnswer(c.payload.data(), c.payload.size(), &p), c.ok);
    if (c.ok) {
      EXPECT_EQ(p.maxFrame, c.maxFrame);
      EXPECT_EQ(p.channels, c.channels);
    }
  }
}

}  // namespace
