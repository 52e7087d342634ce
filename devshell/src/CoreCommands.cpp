#include "CoreCommands.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "base/ByteReader.h"

namespace {

constexpr size_t kTextBuffer = 256;
constexpr size_t kOnlineCapacity = 128;
constexpr auto kWatchStep = std::chrono::milliseconds(50);

// Whether `hwid` is listed by the connection server now; nothing when the
// list cannot be fetched.
std::optional<bool> isOnline(const std::vector<uint8_t>& hwid) {
  auto ids = std::make_unique<uint8_t[][DEVMGR_HWID_SIZE]>(kOnlineCapacity);
  size_t count = kOnlineCapacity;
  if (!DevmgrGetOnlineDevices(ids.get(), &count)) return std::nullopt;
  count = std::min(count, kOnlineCapacity);
  for (size_t i = 0; i < count; ++i)
    if (hwid.size() == DEVMGR_HWID_SIZE && std::equal(hwid.begin(), hwid.end(), ids[i]))
      return true;
  return false;
}

// Names and file names must fit the device's 256-byte buffers; a longer one
// is refused before any connection is made.
void checkName(const std::string& text, const char* what) {
  if (text.size() > CoreCommands::kMaxName)
    throw std::string(what) + " too long (at most 255 characters)";
}

}  // namespace

std::string hexUpper(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

std::string versionWord(const uint8_t bytes[4]) {
  const uint32_t word = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 |
                        uint32_t(bytes[2]) << 8 | uint32_t(bytes[3]);
  return std::to_string(word) + " " + hexUpper(bytes, 4) + "h";
}

std::string boundedText(const char* buffer, size_t size) {
  return std::string(buffer, strnlen(buffer, size));
}

CoreCommands::CoreCommands(UsrConsole& console, std::vector<uint8_t> hwid,
                           const ShellSettings& settings)
    : hwid_(std::move(hwid)), settings_(settings) {
  addText(console, "getname", "get device friendly name", DevmgrGetFriendlyName);
  addVersionWord(console, "getfwver", "get firmware version as a raw decimal and hex",
                 DevmgrGetFwVersion);
  addText(console, "getfwtarget", "get firmware running target", DevmgrGetFwTarget);
  addText(console, "getfwsubtgt", "get firmware running subtarget", DevmgrGetFwSubTarget);
  addText(console, "getfwverstr", "get firmware version string", DevmgrGetFwVersionString);
  addText(console, "getfwverbose", "get firmware verbose description", DevmgrGetFwVerbose);
  addHex(console, "getfwsign", "get firmware signature", DevmgrGetFwSignature);
  addVersionWord(console, "getrecver", "get recovery version as a raw decimal and hex",
                 DevmgrGetRecVersion);
  addHex(console, "getappuuid", "get running application UUID", DevmgrGetAppInfoUUID);
  addText(console, "getappname", "get running application name", DevmgrGetAppInfoName);
  addText(console, "getappversion", "get running application version", DevmgrGetAppInfoVersion);
  addHex(console, "getappsignpar", "get application parameters signature",
         DevmgrGetAppInfoParSignature);
  addHex(console, "getappsigndef", "get application default parameters signature",
         DevmgrGetAppInfoDefParSignature);

  console.addCommand("reset", "request immediate reset", {},
                     [this](const UsrConInvocation&, std::ostream&) {
                       // The device leaves the bus: there is nothing to report.
                       connect();
                       DevmgrImmediateReset(handle_);
                       disconnect();
                     });

  console.addCommand("getdevsn", "get device serial number", {},
                     [this](const UsrConInvocation& invocation, std::ostream& out) {
                       uint8_t serial[4] = {};
                       run(invocation, [&] { return DevmgrGetDeviceSerial(handle_, serial); });
                       const uint32_t value = base::loadU32(serial);
                       out << value << std::endl;
                     });

  const UsrConField<std::string> name("", "name", "device name up to 32 characters");
  console.addCommand("setname", "set device friendly name", {&name},
                     [this](const UsrConInvocation& invocation, std::ostream& out) {
                       const std::string& text = invocation->arg<std::string>(0);
                       checkName(text, "Name");
                       run(invocation,
                           [&] { return DevmgrSetFriendlyName(handle_, text.c_str()); });
                       if (!settings_.quiet) out << "Successfully set new device name" << std::endl;
                     });

  const UsrConField<std::string> device("", "device", "storage device name");
  const UsrConField<std::string> filename("", "filename", "firmware package file name");
  console.addCommand("reqfwupgrade", "trigger core firmware upgrade", {&device, &filename},
                     [this](const UsrConInvocation& invocation, std::ostream&) {
                       const std::string& volume = invocation->arg<std::string>(0);
                       const std::string& file = invocation->arg<std::string>(1);
                       checkName(volume, "Storage device name");
                       checkName(file, "File name");
                       connect();
                       const bool ok =
                           DevmgrRequestCoreFirmwareUpgrade(handle_, volume.c_str(), file.c_str());
                       disconnect();
                       // A device may restart into its upgrader before it answers: only
                       // one that stays on the bus has refused.
                       if (!ok && !restartedWithin(kUpgradeWatch))
                         throw "Error while executing " + invocation->name;
                     });

  const UsrConField<unsigned short> period(2000, "period", "duration [msec]");
  console.addCommand(
      "ident", "visual identification", {&period},
      [this](const UsrConInvocation& invocation, std::ostream& out) {
        const unsigned short ms = invocation->arg<unsigned short>(0);
        run(invocation, [&] { return DevmgrVisualIdentification(handle_, ms); });
        if (!settings_.quiet) out << "Device blinking now" << std::endl;
      },
      1);
}

CoreCommands::~CoreCommands() { disconnect(); }

void CoreCommands::connect() {
  if (handle_) return;
  handle_ = DevmgrConnect(hwid_.data(), hwid_.size());
  if (!handle_) throw std::string("Device not connected");
}

void CoreCommands::disconnect() {
  if (!handle_) return;
  DevmgrDisconnect(handle_);
  handle_ = nullptr;
}

bool CoreCommands::restartedWithin(std::chrono::milliseconds watch) const {
  const auto leaveBy = std::chrono::steady_clock::now() + watch;
  while (true) {
    const std::optional<bool> online = isOnline(hwid_);
    if (!online) return false;
    if (!*online) break;
    if (std::chrono::steady_clock::now() >= leaveBy) return false;
    std::this_thread::sleep_for(kWatchStep);
  }
  // The next command of a script wants the device back.
  const auto backBy = std::chrono::steady_clock::now() + kUpgradeReturn;
  while (std::chrono::steady_clock::now() < backBy) {
    const std::optional<bool> online = isOnline(hwid_);
    if (!online || *online) break;
    std::this_thread::sleep_for(kWatchStep);
  }
  return true;
}

template <typename Call>
void CoreCommands::run(const UsrConInvocation& invocation, Call call) {
  connect();
  const bool ok = call();
  disconnect();
  if (!ok) throw "Error while executing " + invocation->name;
}

void CoreCommands::addText(UsrConsole& console, const char* name, const char* help,
                           bool (*query)(DevmgrHandle, void*)) {
  console.addCommand(name, help, {},
                     [this, query](const UsrConInvocation& invocation, std::ostream& out) {
                       char text[kTextBuffer] = {};
                       run(invocation, [&] { return query(handle_, text); });
                       out << boundedText(text, sizeof text) << std::endl;
                     });
}

void CoreCommands::addHex(UsrConsole& console, const char* name, const char* help,
                          bool (*query)(DevmgrHandle, void*)) {
  console.addCommand(name, help, {},
                     [this, query](const UsrConInvocation& invocation, std::ostream& out) {
                       uint8_t value[16] = {};
                       run(invocation, [&] { return query(handle_, value); });
                       out << hexUpper(value, sizeof value) << std::endl;
                     });
}

void CoreCommands::addVersionWord(UsrConsole& console, const char* name, const char* help,
                                  bool (*query)(DevmgrHandle, void*)) {
  console.addCommand(name, help, {},
                     [this, query](const UsrConInvocation& invocation, std::ostream& out) {
                       uint8_t word[4] = {};
                       run(invocation, [&] { return query(handle_, word); });
                       out << versionWord(word) << std::endl;
                     });
}
