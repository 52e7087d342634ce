// Pardbjni on the whole road: a JVM (with -Xcheck:jni) running the binding
// over pardbproto, the linkhub program with usblink on the virtual bus, and
// a parameter database device of this process.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "devsim/ParDbService.h"
#include "e2e/Road.h"
#include "jvmrun/JvmRun.h"
#include "testsupport/HexText.h"

using translayer::HwId;

namespace {

using testsupport::hexUpper;

using e2e::Road;

TEST(PardbjniRoad, RequestsReachTheDeviceAndResultsComeBack) {
  Road road;
  ASSERT_TRUE(road.ok());
  ASSERT_TRUE(road.startHub());
  const HwId id = Road::makeHwId(0x51);
  devsim::HostOptions options;
  options.pardb.signature = std::vector<uint8_t>(16);
  for (int i = 0; i < 16; ++i) options.pardb.signature[size_t(i)] = uint8_t(0x30 + i);
  const std::vector<uint8_t> value10 = {'h', 'e', 'l', 'l', 'o', 0, 0xFF};
  options.pardb.table[10] = devsim::ParDbEntry{value10, 0, false};
  options.pardb.table[12] = devsim::ParDbEntry{{1}, 0, false};
  options.pardb.table[13] = devsim::ParDbEntry{{7}, 0, true};
  devsim::DeviceHost* dev = road.plugDevice({"pardbdev", id}, options);
  ASSERT_NE(nullptr, dev);
  // [19, 2, 6000] at once, the final [19, 1] 5 s later.
  dev->pardb().setStoreMode(devsim::ParDbStoreMode::kProgress, 6000, 5000);

  const shelltest::ShellResult run =
      jvmrun::run(road.baseDir() + "/jvm", "PardbRoadProbe",
                  {Road::hexOf(id), hexUpper(options.pardb.signature), hexUpper(value10)},
                  {{"replug", [&] { dev->replug(3000); }}});
  EXPECT_NE(std::string::npos, run.out.find("probe done")) << run.out << run.err;

  std::vector<uint8_t> big(2500);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7 + 3);
  EXPECT_EQ(big, dev->pardb().value(12)) << "the write reached the device whole";
  EXPECT_EQ(std::vector<uint8_t>{7}, dev->pardb().value(13)) << "read-only";
  EXPECT_FALSE(dev->pardb().value(14).has_value()) << "the empty write sent nothing";
  EXPECT_EQ(1u, dev->pardb().storeCount());
  // Requests in order: read 10, write 12 (three segments joined), write 13,
  // signature, store, read 10 and the read of 13 started from its callback,
  // read 10 after the replug. Nothing for the refused indices or the empty write.
  std::vector<uint8_t> codes;
  for (const auto& request : dev->pardb().requests())
    if (!request.empty()) codes.push_back(request[0]);
  EXPECT_EQ((std::vector<uint8_t>{24, 26, 26, 16, 18, 24, 24, 24}), codes);
}

}  // namespace
