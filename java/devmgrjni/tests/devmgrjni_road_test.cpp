// Devmgrjni on the whole road: a JVM (with -Xcheck:jni) running the binding
// over devmgr, the linkhub program with usblink on the virtual bus, and a
// device of this process whose state and knobs the test sets between the
// JVM's runs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devsim/CoreService.h"
#include "e2e/Road.h"
#include "testsupport/HexText.h"
#include "testsupport/ShellRunner.h"
#include "vlntest/TimeSlack.h"

using translayer::HwId;

namespace {

using testsupport::hexUpper;

using devsim::CoreReplyFault;
using e2e::Road;

// One native call's outcome, as DevmgrProbe prints it.
struct Outcome {
  std::string method;
  long ms = -1;
  bool ok = false;
  std::string value;  // ok: "s<n>:<hex>", "b:<hex>", "i:<n>", "z:<b>", "v", "null"
  std::string exception, module, id, text;  // exc: class, module, id hex, text (decoded)
};

std::string unhex(const std::string& digits) {
  std::string out;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    out += char(std::stoi(digits.substr(i, 2), nullptr, 16));
  return out;
}

std::string text(const std::string& s) {
  return "s" + std::to_string(s.size()) + ":" + hexUpper(s);
}
std::string bytes(const std::vector<uint8_t>& b) {
  return "b:" + hexUpper(std::string(b.begin(), b.end()));
}

class DevmgrjniRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(road_.ok());
    ASSERT_TRUE(road_.startHub());
    work_ = road_.baseDir() + "/jvm";
    std::filesystem::create_directories(work_);
  }

  devsim::DeviceHost* plug(devsim::CoreConfig core, const HwId& id,
                           const std::string& name = "jdev") {
    devsim::HostOptions options;
    options.core = std::move(core);
    return road_.plugDevice({name, id}, options);
  }

  // One JVM run of DevmgrProbe with these calls. Fails the test on a JNI
  // warning or a non-zero exit.
  std::vector<Outcome> probe(const std::vector<std::string>& calls) {
    shelltest::ShellRunner java(VLN_JAVA, work_);
    std::vector<std::string> args = {"-Xcheck:jni",
                                     std::string("-Djava.library.path=") + VLN_JAVA_LIB_DIR, "-cp",
                                     VLN_JAVA_CLASSPATH, "DevmgrProbe"};
    args.insert(args.end(), calls.begin(), calls.end());
    const shelltest::ShellResult run = java.run(args);
    const std::string all = run.out + run.err;
    EXPECT_EQ(0, run.status) << all;
    EXPECT_EQ(std::string::npos, all.find("WARNING in native method")) << all;
    EXPECT_EQ(std::string::npos, all.find("WARNING: JNI")) << all;
    std::vector<Outcome> outcomes;
    std::istringstream lines(run.out);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      std::string tag, kind;
      Outcome o;
      words >> tag >> o.method >> o.ms >> kind;
      if (tag != "probe") continue;
      o.ok = kind == "ok";
      if (o.ok) {
        words >> o.value;
      } else {
        std::string textHex;
        words >> o.exception >> o.module >> o.id >> textHex;
        o.text = unhex(textHex);
      }
      outcomes.push_back(o);
    }
    EXPECT_EQ(calls.size(), outcomes.size()) << all;
    outcomes.resize(calls.size());
    return outcomes;
  }

  Outcome probeOne(const std::string& call) { return probe({call})[0]; }

  static std::string call(const std::string& method, const HwId& id, const std::string& args = "") {
    return method + ":" + Road::hexOf(id) + (args.empty() ? "" : ":" + args);
  }

  Road road_;
  std::string work_;
  const HwId id_ = Road::makeHwId(0x40);
};

void expectWrapper(const Outcome& o, const std::string& textWanted, const std::string& idHex) {
  EXPECT_FALSE(o.ok) << o.method << " " << o.value;
  EXPECT_EQ("WrapperException", o.exception) << o.method;
  EXPECT_EQ("Devmgrjni", o.module) << o.method;
  EXPECT_EQ(idHex, o.id) << o.method;
  EXPECT_EQ(textWanted, o.text) << o.method;
}

TEST_F(DevmgrjniRoad, EveryQueryReturnsTheDevicesValue) {
  devsim::CoreConfig core;
  core.identity.fwVersion = {0x78, 0x56, 0x34, 0x12};
  core.identity.fwPlatform = std::string(256, 'p');  // all 256 bytes, no terminator
  core.identity.fwTarget = "target";
  core.identity.fwSubTarget = "sub";
  core.identity.fwVersionString = "2.4.6";
  core.identity.fwVerbose =
      "Ger\xC3\xA4t \xF0\x9F\x98\x80";  // standard UTF-8 with a supplementary character
  core.identity.fwSignature = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};  // shorter than 16
  core.identity.recVersion = {0x02, 0x01, 0x00, 0x00};
  core.identity.appUuid = std::vector<uint8_t>(16, 0x5C);
  core.identity.appName = "bad \xFF\xC3 name";  // ill-formed: one U+FFFD each
  core.identity.appVersion = "9.9";
  core.identity.appParSignature = std::vector<uint8_t>(16, 0x66);
  core.identity.appDefParSignature = std::vector<uint8_t>(16, 0x77);
  core.identity.deviceName = "seven77";
  core.identity.deviceSerial = {0xD2, 0x04, 0x00, 0x00};
  core.friendlyName = "road";
  core.protocols = {1, 4, 5};
  ASSERT_NE(nullptr, plug(core, id_));

  struct Case {
    const char* method;
    std::string value;
  };
  std::vector<uint8_t> signature = core.identity.fwSignature;
  signature.resize(16, 0);
  const Case cases[] = {
      {"getProtocolList", "b:010405"},
      {"getFirmwareVersion", "i:" + std::to_string(0x12345678)},
      {"getFirmwarePlatformOptions", text(std::string(256, 'p'))},
      {"getFirmwareRunningTarget", text("target")},
      {"getFirmwareSubTarget", text("sub")},
      {"getFirmwareVersionString", text("2.4.6")},
      {"getFirmwareVerboseDescription",
       "s8:" + hexUpper(core.identity.fwVerbose)},  // two UTF-16 units for U+1F600
      {"getFirmwareSignature", bytes(signature)},
      {"getFriendlyName", text("road")},
      {"getRecoveryVersion", "i:258"},
      {"getApplicationUUID", bytes(core.identity.appUuid)},
      {"getApplicationInfoName", "s11:" + hexUpper("bad \xEF\xBF\xBD\xEF\xBF\xBD name")},
      {"getApplicationInfoVersion", text("9.9")},
      {"getParamTableSignature", bytes(core.identity.appParSignature)},
      {"getParamTableDefaultsSignature", bytes(core.identity.appDefParSignature)},
      {"getDeviceName", text("seven77")},
      {"getDeviceSerialNumber", "i:1234"},
      // Headless, the server's chooser chooses nothing: null, no exception.
      {"getSelectedRemoteDeviceId", "null"},
  };
  std::vector<std::string> calls;
  for (const Case& c : cases) calls.push_back(call(c.method, id_));
  const std::vector<Outcome> got = probe(calls);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_TRUE(got[i].ok) << cases[i].method << ": " << got[i].exception << " " << got[i].text;
    EXPECT_EQ(cases[i].value, got[i].value) << cases[i].method;
  }
}

// The device answers every request with a wrong code: each native reports its
// own failure text (and a refused name is false, not an exception).
TEST_F(DevmgrjniRoad, EachFailureHasItsText) {
  devsim::DeviceHost* dev = plug({}, id_);
  ASSERT_NE(nullptr, dev);
  struct Case {
    const char* method;
    uint8_t request;
    const char* text;
  };
  const Case cases[] = {
      {"getProtocolList", devsim::kCoreProtocolList,
       "Impossible to get remote device protocols list"},
      {"getFirmwareVersion", devsim::kCoreFwVersion, "Impossible to get Firmware Version."},
      {"getFirmwarePlatformOptions", devsim::kCoreFwPlatform,
       "Impossible to get Firmware platform."},
      {"getFirmwareRunningTarget", devsim::kCoreFwTarget, "Impossible to get Firmware Target."},
      {"getFirmwareSubTarget", devsim::kCoreFwSubTarget, "Impossible to get Firmware sub target."},
      {"getFirmwareVersionString", devsim::kCoreFwVersionString,
       "Impossible to get Firmware Version string."},
      {"getFirmwareVerboseDescription", devsim::kCoreFwVerbose,
       "Impossible to get Firmware Verbose."},
      {"getFirmwareSignature", devsim::kCoreFwSignature,
       "Impossible to get remote device firmware hash"},
      {"getFriendlyName", devsim::kCoreFriendlyName, "Impossible to get Friendly Name."},
      {"getRecoveryVersion", devsim::kCoreRecVersion, "Impossible to get Recovery Version."},
      {"getApplicationUUID", devsim::kCoreAppUuid, "Impossible to get Application UUID."},
      {"getApplicationInfoName", devsim::kCoreAppName, "Impossible to get Application Name."},
      {"getApplicationInfoVersion", devsim::kCoreAppVersion,
       "Impossible to get Application Version."},
      {"getParamTableSignature", devsim::kCoreAppParSignature,
       "Impossible to get Application Signature."},
      {"getParamTableDefaultsSignature", devsim::kCoreAppDefParSignature,
       "Impossible to get Application Defaults Signature."},
      {"getDeviceName", devsim::kCoreDeviceName, "Impossible to get Device Name."},
      {"getDeviceSerialNumber", devsim::kCoreDeviceSerial, "Impossible to get Device Serial."},
  };
  CoreReplyFault wrong;
  wrong.code = 0xEE;
  std::vector<std::string> calls;
  for (const Case& c : cases) {
    dev->core().setFault(c.request, wrong);
    calls.push_back(call(c.method, id_));
  }
  dev->core().setFault(devsim::kCoreIdentify, wrong);
  calls.push_back(call("identifyRemote", id_, "500"));
  // Longer than the device takes (32 bytes): refused, which is no exception.
  calls.push_back(call("setFriendlyName", id_, hexUpper(std::string(40, 'r'))));
  const std::vector<Outcome> got = probe(calls);
  for (std::size_t i = 0; i < std::size(cases); ++i)
    expectWrapper(got[i], cases[i].text, Road::hexOf(id_));
  expectWrapper(got[std::size(cases)], "Impossible to perform remote device identification.",
                Road::hexOf(id_));
  EXPECT_EQ("z:false", got.back().value) << got.back().exception << " " << got.back().text;
  EXPECT_EQ("devsim", dev->core().friendlyName());
}

TEST_F(DevmgrjniRoad, OfflineAndMalformedIds) {
  const HwId offline = Road::makeHwId(0x90);
  const std::string offlineHex = Road::hexOf(offline);
  const std::string shortId = offlineHex.substr(0, 30);  // 15 bytes
  const std::vector<Outcome> got = probe({
      call("getFriendlyName", offline),
      call("getProtocolList", offline),
      call("identifyRemote", offline, "100"),
      call("immediateReset", offline),
      call("setFriendlyName", offline, hexUpper("x")),
      call("requestCoreFirmwareUpgrade", offline, hexUpper("root") + ":" + hexUpper("fw.xpk")),
      "getDeviceName:" + shortId,
      "requestCoreFirmwareUpgrade:" + shortId + ":" + hexUpper("root") + ":" + hexUpper("fw.xpk"),
      "getFriendlyName:null",
      call("setFriendlyName", offline, "null"),
  });
  const std::string noHandle = "Impossible to retrieve handler for remote device.";
  for (std::size_t i = 0; i < 5; ++i) expectWrapper(got[i], noHandle, offlineHex);
  EXPECT_TRUE(got[5].ok);
  EXPECT_EQ("i:-2", got[5].value) << "offline upgrade: -2 and no exception";
  expectWrapper(got[6], "Invalid remote id size", shortId);
  expectWrapper(got[7], "Invalid remote id size", shortId);
  EXPECT_EQ("NullPointerException", got[8].exception);
  EXPECT_EQ("remoteId", got[8].text);
  EXPECT_EQ("NullPointerException", got[9].exception);
  EXPECT_EQ("name", got[9].text);
}

TEST_F(DevmgrjniRoad, ASilentQueryFailsWithItsTextAndTheNextCallWorks) {
  devsim::DeviceHost* dev = plug({}, id_);
  ASSERT_NE(nullptr, dev);
  CoreReplyFault silent;
  silent.silent = true;
  dev->core().setFault(devsim::kCoreFwVersionString, silent);
  const std::vector<Outcome> got =
      probe({call("getFirmwareVersionString", id_), call("getFriendlyName", id_)});
  expectWrapper(got[0], "Impossible to get Firmware Version string.", Road::hexOf(id_));
  EXPECT_GE(got[0].ms, 900) << "the reply is awaited about a second";
  EXPECT_LE(got[0].ms, vlntest::slackBound(std::chrono::seconds(3)).count());
  EXPECT_TRUE(got[1].ok) << got[1].text;
  EXPECT_EQ(text("devsim"), got[1].value) << "a new connection for the next call";
}

TEST_F(DevmgrjniRoad, FriendlyNamesAreStandardUtf8CutAtACharacter) {
  devsim::CoreConfig core;
  core.maxFriendlyName = 200;
  devsim::DeviceHost* dev = plug(core, id_);
  ASSERT_NE(nullptr, dev);
  const std::string zoe = "Zo\xC3\xAB \xF0\x9F\x98\x80";
  struct Case {
    std::string name;    // as Java gets it (UTF-8 here)
    std::string stored;  // what the device holds afterwards
    int javaLength;      // UTF-16 units of the name read back
  };
  const Case cases[] = {
      {std::string(100, 'n'), std::string(63, 'n'), 63},
      {zoe, zoe, 6},
      {std::string(61, 'a') + "\xF0\x9F\x98\x80", std::string(61, 'a'),
       61},  // the emoji would end at byte 65
      {std::string(59, 'b') + "\xF0\x9F\x98\x80", std::string(59, 'b') + "\xF0\x9F\x98\x80",
       61},  // 63 exactly
  };
  for (const Case& c : cases) {
    const std::vector<Outcome> got =
        probe({call("setFriendlyName", id_, hexUpper(c.name)), call("getFriendlyName", id_)});
    EXPECT_EQ("z:true", got[0].value) << c.name;
    EXPECT_EQ(c.stored, dev->core().friendlyName()) << "bytes on the device";
    EXPECT_EQ("s" + std::to_string(c.javaLength) + ":" + hexUpper(c.stored), got[1].value)
        << "read back";
  }
}

TEST_F(DevmgrjniRoad, IdentifySendsTheLowSixteenBits) {
  devsim::DeviceHost* dev = plug({}, id_);
  ASSERT_NE(nullptr, dev);
  const std::vector<Outcome> got =
      probe({call("identifyRemote", id_, "70000"), call("identifyRemote", id_, "1500")});
  EXPECT_EQ("v", got[0].value) << got[0].text;
  EXPECT_EQ("v", got[1].value) << got[1].text;
  EXPECT_EQ((std::vector<uint16_t>{4464, 1500}), dev->core().identifications());
}

TEST_F(DevmgrjniRoad, UpgradeRequestStatusCodes) {
  devsim::DeviceHost* dev = plug({}, id_);
  ASSERT_NE(nullptr, dev);
  const std::string volume = devsim::DeviceHost::volumes()[0];
  std::ofstream(dev->volumePath(volume) / "fw.xpk") << "package";
  dev->core().clearRecords();
  const std::vector<Outcome> got = probe({
      call("requestCoreFirmwareUpgrade", id_, hexUpper(volume) + ":" + hexUpper("fw.xpk")),
      call("requestCoreFirmwareUpgrade", id_, hexUpper(volume) + ":" + hexUpper("absent.xpk")),
      call("requestCoreFirmwareUpgrade", id_,
           hexUpper(volume) + ":" + hexUpper(std::string(255, 'f'))),
      call("requestCoreFirmwareUpgrade", id_,
           hexUpper(volume) + ":" + hexUpper(std::string(256, 'f'))),
      call("requestCoreFirmwareUpgrade", id_,
           hexUpper(std::string(256, 'v')) + ":" + hexUpper("fw.xpk")),
      call("requestCoreFirmwareUpgrade", Road::makeHwId(0x91),
           hexUpper(volume) + ":" + hexUpper("fw.xpk")),
  });
  EXPECT_EQ("i:1", got[0].value);
  EXPECT_EQ("i:0", got[1].value);
  EXPECT_EQ("i:0", got[2].value) << "255 bytes go out (the file is not there)";
  EXPECT_EQ("i:-1", got[3].value);
  EXPECT_EQ("i:-1", got[4].value);
  EXPECT_EQ("i:-2", got[5].value);
  for (const Outcome& o : got) EXPECT_TRUE(o.ok) << o.exception << " " << o.text;
  int upgradeRequests = 0;
  for (const auto& r : dev->core().requests()) upgradeRequests += r.code == devsim::kCoreFwUpgrade;
  EXPECT_EQ(3, upgradeRequests) << "nothing is sent for a name over 255 bytes";
}

TEST_F(DevmgrjniRoad, ResetsInARowLeaveEveryChannelFree) {
  devsim::DeviceHost* dev = plug({}, id_);
  ASSERT_NE(nullptr, dev);
  // The reset knob off: the device takes the request, answers nothing and
  // stays on the bus, so every channel left open would stay taken.
  dev->core().setResetHook([] {});
  std::vector<std::string> calls(20, call("immediateReset", id_));
  calls.push_back(call("getFriendlyName", id_));
  const std::vector<Outcome> got = probe(calls);
  for (std::size_t i = 0; i < 20; ++i)
    EXPECT_EQ("v", got[i].value) << "reset " << i << ": " << got[i].text;
  EXPECT_EQ(text("devsim"), got[20].value) << got[20].text;
  EXPECT_EQ(20u, dev->core().resets());
  const auto deadline =
      std::chrono::steady_clock::now() + vlntest::slackBound(std::chrono::seconds(10));
  int open = 0;
  do {
    open = 0;
    for (int ch = 0; ch < 16; ++ch) open += dev->device().channelProtocol(uint8_t(ch)) >= 0;
    if (open) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (open && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(0, open) << "channels still open on the device";
}

}  // namespace
