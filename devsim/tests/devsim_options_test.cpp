// The devsim command line: devices from repeated and listed options, HWIDs,
// limits, and the misuse it refuses.
#include <gtest/gtest.h>

#include "DevsimOptions.h"

using translayer::formatHwId;

namespace devsim::cli {
namespace {

using Args = std::vector<std::string>;

const char* kHwA = "000102030405060708090a0b0c0d0e0f";
const char* kHwB = "F0E0D0C0B0A090807060504030201000";

TEST(DevsimOptionsTest, DevicesFromRepeatedAndListedOptions) {
  const std::vector<Args> forms = {
      {"--vbus", "/v", "--id", "a", "--hwid", kHwA, "--id", "b", "--hwid", kHwB},
      {"--vbus=/v", "--id=a,b", "--hwid", std::string(kHwA) + "," + kHwB},
      {"--id", "a", "--id", "b", "--hwid", kHwA, "--hwid", kHwB},  // bus from the environment
  };
  for (const Args& args : forms) {
    Options o;
    std::string error;
    ASSERT_TRUE(parseOptions(args, "/v", &o, &error)) << error;
    EXPECT_EQ("/v", o.vbusDir);
    ASSERT_EQ(2u, o.devices.size());
    EXPECT_EQ("a", o.devices[0].id);
    EXPECT_EQ("b", o.devices[1].id);
    EXPECT_EQ(kHwA, formatHwId(o.devices[0].hwid, false));
    EXPECT_EQ(kHwB, formatHwId(o.devices[1].hwid));
  }
}

TEST(DevsimOptionsTest, HwIdsMadeFromIdsAreStableAndDistinct) {
  Options o;
  std::string error;
  ASSERT_TRUE(parseOptions({"--vbus", "/v", "--id", "dev1,dev2"}, nullptr, &o, &error)) << error;
  ASSERT_EQ(2u, o.devices.size());
  EXPECT_FALSE(o.devices[0].hwid == o.devices[1].hwid);
  EXPECT_TRUE(o.devices[0].hwid == hwIdFromName("dev1"));
  EXPECT_TRUE(hwIdFromName("Dev1") == hwIdFromName("dev1"));
}

TEST(DevsimOptionsTest, LimitsAndDefaults) {
  Options o;
  std::string error;
  ASSERT_TRUE(parseOptions({"--vbus", "/v", "--id", "x"}, nullptr, &o, &error));
  EXPECT_EQ(255, o.maxFrameLength);
  EXPECT_EQ(15, o.channelCount);
  EXPECT_EQ(4096, o.transferSize);
  EXPECT_EQ(devsim::BenchFault::kNone, o.benchFault);
  EXPECT_EQ(devsim::ParDbFault::kNone, o.pardbFault);
  ASSERT_TRUE(parseOptions({"--vbus",
                            "/v",
                            "--id",
                            "x",
                            "--max-frame",
                            "64",
                            "--channels",
                            "4",
                            "--transfer-size=64",
                            "--friendly-name",
                            "bench one",
                            "--storage",
                            "/s",
                            "--serial",
                            "4294967295",
                            "--fw-version",
                            "2.0.1",
                            "--bench-fault",
                            "wrong-sequence",
                            "--pardb-fault=extra-reply"},
                           nullptr, &o, &error))
      << error;
  EXPECT_EQ(64, o.maxFrameLength);
  EXPECT_EQ(4, o.channelCount);
  EXPECT_EQ(64, o.transferSize);
  EXPECT_EQ("bench one", o.friendlyName);
  EXPECT_EQ("/s", o.storageDir);
  EXPECT_TRUE(o.hasSerial);
  EXPECT_EQ(4294967295u, o.serial);
  EXPECT_EQ("2.0.1", o.fwVersionString);
  EXPECT_EQ(devsim::BenchFault::kWrongSequence, o.benchFault);
  EXPECT_EQ(devsim::ParDbFault::kExtraReply, o.pardbFault);
}

TEST(DevsimOptionsTest, RefusesMisuse) {
  const std::vector<Args> bad = {
      {"--id", "x"},                                    // no bus anywhere
      {"--vbus", "/v"},                                 // no device
      {"--vbus", "/v", "--id", "x", "--hwid", "0102"},  // short HWID
      {"--vbus", "/v", "--id", "x", "--hwid", std::string(31, '0') + "g"},
      {"--vbus", "/v", "--id", "a,b", "--hwid", kHwA},  // counts differ
      {"--vbus", "/v", "--id", "a,b", "--hwid", std::string(kHwA) + "," + kHwA},
      {"--vbus", "/v", "--id", "a,A"},  // same id ignoring case
      {"--vbus", "/v", "--id", "a b"},
      {"--vbus", "/v", "--id", "a,"},  // an empty id
      {"--vbus", "/v", "--id", std::string(65, 'a')},
      {"--vbus", "/v", "--id", "x", "--max-frame", "256"},  // no record holds it
      {"--vbus", "/v", "--id", "x", "--max-frame", "3"},
      {"--vbus", "/v", "--id", "x", "--channels", "0"},
      {"--vbus", "/v", "--id", "x", "--channels", "16"},
      {"--vbus", "/v", "--id", "x", "--transfer-size", "65536"},
      {"--vbus", "/v", "--id", "x", "--transfer-size", "-1"},
      {"--vbus", "/v", "--id", "x", "--serial", "4294967296"},
      {"--vbus", "/v", "--id", "x", "--serial", "12a"},
      {"--vbus", "/v", "--id", "x", "--bench-fault", "sometimes"},
      {"--vbus", "/v", "--id", "x", "--pardb-fault", "Silent"},
      {"--vbus", "/v", "--id", "x", "--bogus"},
      {"--vbus", "/v", "--id"},
  };
  for (const Args& args : bad) {
    Options o;
    std::string error;
    EXPECT_FALSE(parseOptions(args, nullptr, &o, &error)) << args.back();
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace devsim::cli
