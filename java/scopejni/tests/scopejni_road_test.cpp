// Scopejni on the whole road: a JVM (with -Xcheck:jni) running the binding
// over scopeproto, the linkhub program with usblink on the virtual bus, and
// a scope device of this process whose knobs the test turns at the probe's
// named steps.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "devsim/ScopeService.h"
#include "e2e/Road.h"
#include "jvmrun/JvmRun.h"
#include "testsupport/HexText.h"

using translayer::HwId;

namespace {

using testsupport::hexUpper;

using e2e::Road;

std::vector<uint8_t> fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ScopejniRoad, RequestsEventsAndRawDataThroughTheBinding) {
  Road road;
  ASSERT_TRUE(road.ok());
  ASSERT_TRUE(road.startHub());
  const HwId id = Road::makeHwId(0x61);
  devsim::HostOptions options;
  for (int i = 0; i < 16; ++i) options.scope.signature[size_t(i)] = uint8_t(0x90 + i);
  options.scope.maxChannels = 6;
  options.scope.maxTriggers = 3;
  options.scope.baseSampleSize = 2;
  options.scope.timeBaseBits = 0x3A83126F;  // 0.001 s
  options.scope.bufferSize = 123456;
  options.scope.parameters[0xFFFF] = 4;
  options.scope.captureSize = 100000;
  devsim::DeviceHost* dev = road.plugDevice({"scopedev", id}, options);
  ASSERT_NE(nullptr, dev);
  devsim::ScopeState& scope = dev->scope();

  const std::string work = road.baseDir() + "/jvm";
  const std::string rawFile = work + "/raw.bin";
  std::vector<uint8_t> capture;
  const jvmrun::Steps steps = {
      // Status 3 with a whole record: the library fills its record, the
      // binding must still leave the Java object alone.
      {"cap3",
       [&] {
         scope.replaceNextReply({33, 3, 1, 2, 3, 0, 0, 0, 0x80, 0x3F, 9, 9, 9});
       }},
      // A list reply of 255 entries (more local references than a frame
      // holds unless each is let go), and one with its status only.
      {"list255",
       [&] {
         std::vector<devsim::ScopeChannelDef> many;
         for (int i = 0; i < 255; ++i) many.push_back({uint16_t(1000 + i), 0.25f * float(i)});
         scope.replaceNextReply(devsim::ScopeState::listMessage(47, 0, 7.5f, many));
       }},
      {"list0",
       [&] {
         scope.replaceNextReply({39, 0});
       }},
      {"inject", [&] { scope.inject(devsim::ScopeState::statusMessage(1, 42.5f)); }},
      {"rawcheck", [&] { capture = scope.lastCapture(); }},
      {"raw5",
       [&] {
         scope.replaceNextReply({51, 5});
       }},
      {"stall", [&] { scope.setSilent(true); }},
      {"unstall", [&] { scope.setSilent(false); }},
      {"stallraw", [&] { scope.setStallRaw(true); }},
      {"unstallraw", [&] { scope.setStallRaw(false); }},
  };
  const shelltest::ShellResult run =
      jvmrun::run(work, "ScopeRoadProbe",
                  {Road::hexOf(id), hexUpper(options.scope.signature), "6", "3", "2", "3A83126F",
                   "123456", rawFile},
                  steps);
  EXPECT_NE(std::string::npos, run.out.find("probe done")) << run.out << run.err;

  EXPECT_FALSE(capture.empty());
  EXPECT_EQ(capture, fileBytes(rawFile)) << "the raw data reached Java byte for byte";
  bool sawFFFF = false, sawOne = false;
  for (const devsim::ScopeChannelDef& c : scope.channels()) {
    sawFFFF = sawFFFF || c.index == 0xFFFF;
    sawOne = sawOne || c.index == 1;
  }
  EXPECT_TRUE(sawFFFF) << "channel -1 arrived as 65535";
  EXPECT_TRUE(sawOne);
  const auto triggers = scope.triggers();
  ASSERT_EQ(1u, triggers.size()) << "the null trigger data sent nothing";
  EXPECT_EQ(1, triggers[0].index);
  EXPECT_EQ(std::vector<uint8_t>{5}, triggers[0].threshold);
}

}  // namespace
