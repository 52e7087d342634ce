#include "ShellProgram.h"

#include <boost/program_options.hpp>
#include <iostream>
#include <memory>
#include <sstream>

#include "CoreCommands.h"
#include "FileServerCommands.h"
#include "StatusCommands.h"
#include "devmgr/devmgr.h"
#include "plat/console.h"
#include "toolsupport/Banner.h"
#include "translayer/HwId.h"

using translayer::HwId;
using translayer::parseHwId;

namespace po = boost::program_options;

namespace {

constexpr size_t kDeviceListCapacity = 128;
constexpr unsigned kLineLength = 80;
constexpr unsigned kMinDescription = 40;

struct Options {
  po::options_description generic{"Generic options", kLineLength, kMinDescription};
  po::options_description selection{"Device selection", kLineLength, kMinDescription};
  po::options_description all{kLineLength, kMinDescription};

  Options() {
    generic.add_options()("help", "this help message")("quiet,Q", "quiet output");
    selection.add_options()("single,S", "automatic device selection")(
        "device,D", po::value<std::vector<std::string>>(), "use selected device HWID")(
        "list,L", "list available devices and terminate");
    all.add(generic).add(selection);
  }
};

// Lists the devices with their friendly names.
void printDeviceList(const uint8_t (*ids)[DEVMGR_HWID_SIZE], size_t count, bool quiet) {
  if (!quiet) std::cout << "HWID                             Name" << std::endl;
  for (size_t i = 0; i < count; ++i) {
    std::cout << hexUpper(ids[i], DEVMGR_HWID_SIZE);
    if (DevmgrHandle handle = DevmgrConnect(ids[i], DEVMGR_HWID_SIZE)) {
      char name[DEVMGR_TEXT_SIZE] = {};
      if (DevmgrGetFriendlyName(handle, name)) std::cout << " " << boundedText(name, sizeof name);
      DevmgrDisconnect(handle);
    }
    std::cout << std::endl;
  }
  if (!quiet) std::cout << count << " devices found" << std::endl;
}

bool isLineEnd(const char* bytes, long n) {
  return (n == 1 && bytes[0] == '\n') || (n == 2 && bytes[0] == '\r' && bytes[1] == '\n');
}

}  // namespace

bool decodeHwid(const std::string& text, std::vector<uint8_t>* hwid) {
  HwId parsed;
  if (!parseHwId(text, &parsed)) return false;
  hwid->assign(parsed.id, parsed.id + sizeof parsed.id);
  return true;
}

int runInteractive(UsrConsole& console) {
  const plat::Handle in = plat::standardInput(), out = plat::standardOutput();
  if (!plat::isOpenHandle(in) || !plat::isOpenHandle(out)) {
    std::cerr << "Error on console creation" << std::endl;
    return kExitConsole;
  }
  char buffer[kReadLimit];
  while (true) {
    std::cout.flush();
    if (!plat::writeConsole(out, "> ", 2)) {
      std::cerr << "Console write error" << std::endl;
      return kExitConsole;
    }
    long n = plat::readConsole(in, buffer, sizeof buffer);
    if (n <= 0) return kExitOk;
    std::string line(buffer, size_t(n));
    if (size_t(n) == sizeof buffer && buffer[n - 1] != '\n') {
      // The buffer is full: a next read of the line end alone means the
      // command was whole.
      n = plat::readConsole(in, buffer, sizeof buffer);
      if (isLineEnd(buffer, n)) {
        line.append(buffer, size_t(n));
      } else {
        // A longer line would run as pieces that mean something else; the
        // rest of it is read and dropped.
        while (size_t(n) == sizeof buffer && buffer[n - 1] != '\n')
          n = plat::readConsole(in, buffer, sizeof buffer);
        std::cout << kLineTooLong << std::endl;
        if (n <= 0) return kExitOk;
        continue;
      }
    }
    std::ostringstream text;
    bool keepGoing = true;
    try {
      keepGoing = console.execute(line, text);
    } catch (const std::string& error) {
      std::cout << error << std::endl;
      continue;
    }
    std::cout << text.str();
    if (!keepGoing) {
      std::cout.flush();
      return kExitOk;
    }
  }
}

int runPiped(UsrConsole& console, std::istream& in) {
  std::string line;
  bool keepGoing = true;
  while (keepGoing && std::getline(in, line)) {
    std::ostringstream text;
    try {
      keepGoing = console.execute(line, text);
    } catch (const std::string& error) {
      std::cout.flush();
      std::cerr << error << std::endl;
      return kExitScriptFailed;
    }
    // Whoever watches a long script sees each command's result as it comes.
    std::cout << text.str() << std::flush;
  }
  std::cout.flush();
  return kExitOk;
}

int runDevshell(int argc, char** argv) {
  // A closed output must show as a failed write, not end the program.
  plat::ignoreBrokenPipe();

  Options options;
  po::variables_map vm;
  try {
    po::store(po::parse_command_line(argc, argv, options.all), vm);
    po::notify(vm);
  } catch (...) {
    toolsupport::printBanner(true, std::cout);
    std::cout.flush();
    std::cerr << options.all;
    return kExitBadCommandLine;
  }

  const bool single = vm.count("single") > 0, list = vm.count("list") > 0;
  const bool device = vm.count("device") > 0;
  std::vector<uint8_t> hwid;
  bool valid = vm.count("help") == 0 && int(single) + int(device) + int(list) == 1;
  if (valid && device) {
    const auto& texts = vm["device"].as<std::vector<std::string>>();
    valid = texts.size() == 1 && decodeHwid(texts[0], &hwid);
  }
  if (!valid) {
    toolsupport::printBanner(true, std::cout);
    std::cout << options.all;
    return kExitUsage;
  }

  ShellSettings settings;
  settings.quiet = vm.count("quiet") > 0;
  if (!settings.quiet) toolsupport::printBanner(false, std::cout);

  auto ids = std::make_unique<uint8_t[][DEVMGR_HWID_SIZE]>(kDeviceListCapacity);
  size_t count = kDeviceListCapacity;
  if (!DevmgrGetOnlineDevices(ids.get(), &count)) {
    std::cout.flush();
    std::cerr << "Error on connection server call" << std::endl;
    std::cerr << "Please run linkhub.exe (Connection server) and try again" << std::endl;
    return kExitNoServer;
  }

  if (single) {
    if (count != 1) {
      std::cout.flush();
      std::cerr << (count == 0 ? "No devices found"
                               : "More than one device found, option valid only with one "
                                 "connected device")
                << std::endl;
      return kExitNoSingleDevice;
    }
    hwid.assign(ids[0], ids[0] + DEVMGR_HWID_SIZE);
  }
  if (list) {
    printDeviceList(ids.get(), count, settings.quiet);
    return kExitOk;
  }

  UsrConsole console;
  CoreCommands core(console, hwid, settings);
  StatusCommands status(console, hwid, settings);
  FileServerCommands files(console, hwid, settings);

  if (plat::isTerminal(plat::standardInput())) return runInteractive(console);
  return runPiped(console, std::cin);
}
