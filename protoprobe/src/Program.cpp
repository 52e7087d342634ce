#include "Program.h"

#include <cctype>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>

#include "HexText.h"
#include "ProtConsole.h"
#include "ProtExercizer.h"
#include "ProtocolConsoles.h"
#include "plat/console.h"
#include "plat/rawkeys.h"
#include "translayer/TrIfTranClient.h"

using translayer::formatHwId;
using translayer::HwId;
using translayer::TrIfTranClient;
using translayer::TrIfTranRemote;

namespace protoprobe {

const char* const kUsageLines[6] = {
    "Usage: protoprobe <HWID> X <bytesize> <pktavgsize> <pktavgspan>: bidirectional data exchange",
    "       protoprobe <HWID> D <bytesize> <pktsize>: download to device",
    "       protoprobe <HWID> U <bytesize> <pktsize>: upload from device",
    "       protoprobe <HWID> C <protid>: open command line transaction to protocol",
    "       protoprobe <HWID> N <protname> [help]: in/out piping through <protname> protocol",
    "       protoprobe L: list connected devices",
};

namespace {

// The pipe connects locally; this only bounds a server that never answers.
constexpr int kConnectWaitMs = 10000;

char upperFirst(const std::string& word) {
  return word.empty() ? 0 : char(std::toupper(static_cast<unsigned char>(word[0])));
}

bool isBenchmark(Mode mode) {
  return mode == Mode::kBenchX || mode == Mode::kBenchD || mode == Mode::kBenchU;
}

int benchMode(Mode mode) {
  return mode == Mode::kBenchX ? kBenchX : mode == Mode::kBenchD ? kBenchD : kBenchU;
}

std::string lowerHex(const HwId& hwid) { return formatHwId(hwid, false); }

int runNamed(const Invocation& inv) {
  HwId hwid{};
  if (inv.consoleName.empty()) return runProtocolConsole("", hwid, {}, std::cout);
  if (!isHwIdText(inv.hwidText)) {
    std::cout << "HWID format mismatch" << std::endl;
    return -1;
  }
  const std::vector<uint8_t> bytes = hexToBytes(inv.hwidText);
  std::copy(bytes.begin(), bytes.end(), hwid.id);
  return runProtocolConsole(inv.consoleName, hwid, inv.consoleArgs, std::cout);
}

// Opens the channel and waits for its pipe; 0, else the message is printed.
int openAndConnect(TrIfTranClient& client, const HwId& hwid, uint8_t protocolId,
                   TrIfTranRemote* receiver) {
  int result = client.openChannel(hwid, protocolId, receiver);
  if (result == 0 && (client.connectResult.timedWait(kConnectWaitMs) || client.notConnected != 0))
    result = 1;
  if (result != 0) std::cout << "Error on start transaction: " << result << std::endl;
  return result;
}

int runRawConsole(TrIfTranClient& client, const HwId& hwid, uint8_t protocolId,
                  std::unique_ptr<ProtConsole>& console) {
  std::cout.flush();
  console = std::make_unique<ProtConsole>(client, [](std::string_view text) {
    plat::writeConsole(plat::standardOutput(), text.data(), text.size());
  });
  if (openAndConnect(client, hwid, protocolId, console.get()) != 0) return -2;
  plat::RawKeyboard keys;
  const int entered = keys.enter(plat::standardInput());
  if (entered != 0) std::cerr << "protoprobe: keys are read as lines (" << entered << ")\n";
  const int result = console->run([&keys] { return keys.readKey(); });
  keys.restore();
  client.TrIfTranCommon::close(false);
  return result;
}

int runBenchmark(TrIfTranClient& client, const HwId& hwid, const Invocation& inv,
                 std::unique_ptr<ProtExercizer>& bench) {
  bench = std::make_unique<ProtExercizer>(client, std::cout);
  if (openAndConnect(client, hwid, base::kProtocolBenchmark, bench.get()) != 0) return -2;
  const int result = bench->run(benchMode(inv.mode), uint32_t(inv.total), uint16_t(inv.packet),
                                uint16_t(inv.span));
  client.TrIfTranCommon::close(false);
  return result;
}

int ordinaryRoad(const Invocation& inv) {
  // Declared before the client so that they outlive it: the client's
  // destructor joins the pipe thread that calls them.
  std::unique_ptr<ProtConsole> console;
  std::unique_ptr<ProtExercizer> bench;
  auto client = std::make_unique<TrIfTranClient>();
  if (client->bind() != 0) {
    std::cout << "Binding failed" << std::endl;
    return -1;
  }
  uint32_t exception = 0;
  if (client->getOnlineDevices(&exception) != 0) {
    std::cout << "RPC failed" << std::endl;
    return -1;
  }
  std::map<std::string, HwId> devices;
  for (const HwId& hwid : client->deviceList()) {
    const std::string text = lowerHex(hwid);
    if (inv.mode == Mode::kList) std::cout << text << "\n";
    devices.emplace(text, hwid);
  }
  std::cout << std::endl;
  if (inv.mode == Mode::kNone) {
    for (const char* line : kUsageLines) std::cout << line << "\n";
    std::cout.flush();
    return 0;
  }
  if (inv.mode == Mode::kList) return 0;
  const auto found = devices.find(inv.hwidText);
  if (found == devices.end()) {
    std::cout << "Device not found!" << std::endl;
    return -3;
  }
  const int result = inv.mode == Mode::kRawConsole
                         ? runRawConsole(*client, found->second, inv.protocolId, console)
                         : runBenchmark(*client, found->second, inv, bench);
  client.reset();
  return result;
}

}  // namespace

Invocation selectMode(const std::vector<std::string>& args) {
  Invocation inv;
  const size_t n = args.size();
  const char letter = n >= 3 ? upperFirst(args[2]) : 0;
  if (n >= 2) inv.hwidText = args[1];
  if (n == 6 && letter == 'X') {
    inv.mode = Mode::kBenchX;
  } else if (n == 5 && (letter == 'D' || letter == 'U')) {
    inv.mode = letter == 'D' ? Mode::kBenchD : Mode::kBenchU;
  } else if (n >= 4 && letter == 'C') {
    inv.mode = Mode::kRawConsole;
    inv.protocolId = uint8_t(std::atoi(args[3].c_str()));
  } else if (n >= 3 && letter == 'N') {
    inv.mode = Mode::kNamedConsole;
    if (n >= 4) {
      inv.consoleName = args[3];
      inv.consoleArgs.assign(args.begin() + 4, args.end());
    }
  } else if (n == 2 && upperFirst(args[1]) == 'L') {
    inv.mode = Mode::kList;
  }
  if (isBenchmark(inv.mode)) {
    inv.total = std::atoi(args[3].c_str());
    inv.packet = std::atoi(args[4].c_str());
    inv.span = inv.mode == Mode::kBenchX ? std::atoi(args[5].c_str()) : 0;
  }
  return inv;
}

int runProtoprobe(const std::vector<std::string>& args) {
  plat::ignoreBrokenPipe();
  const Invocation inv = selectMode(args);
  if (inv.mode == Mode::kNamedConsole) return runNamed(inv);
  if (isBenchmark(inv.mode) &&
      !benchmarkArgumentsValid(benchMode(inv.mode), inv.total, inv.packet, inv.span)) {
    std::cout << "Invalid benchmark arguments" << std::endl;
    return -1;
  }
  return ordinaryRoad(inv);
}

}  // namespace protoprobe
