// The device management commands of the console: names, versions,
// signatures, identification, serial number, reset and the firmware upgrade
// request. Each command connects, makes one devmgr call, disconnects, and
// then prints its result or throws "Error while executing <command>".
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "UsrConsole.h"
#include "devmgr/devmgr.h"

struct ShellSettings {
  bool quiet = false;  // no short banner, list frame, success texts or progress
};

class CoreCommands {
 public:
  // Registers the commands with `console`; `settings` must outlive them.
  CoreCommands(UsrConsole& console, std::vector<uint8_t> hwid, const ShellSettings& settings);
  // Disconnects a handle a command left set.
  ~CoreCommands();
  CoreCommands(const CoreCommands&) = delete;
  CoreCommands& operator=(const CoreCommands&) = delete;

  // Longest name or file name handed to the device: its buffers hold 256
  // bytes with the terminator.
  static constexpr size_t kMaxName = 255;
  // How long a device whose upgrade request failed is watched for leaving
  // the bus, and how long one that left is then awaited back.
  static constexpr std::chrono::milliseconds kUpgradeWatch{5000};
  static constexpr std::chrono::milliseconds kUpgradeReturn{10000};

 private:
  // Connects when no handle is set; throws "Device not connected".
  void connect();
  void disconnect();
  // After a failed upgrade request: true when the device left the bus within
  // `watch` (it is then awaited back for kUpgradeReturn at most).
  bool restartedWithin(std::chrono::milliseconds watch) const;
  // connect, `call`, disconnect; throws "Error while executing <name>" when
  // the call returned false.
  template <typename Call>
  void run(const UsrConInvocation& invocation, Call call);

  void addText(UsrConsole& console, const char* name, const char* help,
               bool (*query)(DevmgrHandle, void*));
  void addHex(UsrConsole& console, const char* name, const char* help,
              bool (*query)(DevmgrHandle, void*));
  void addVersionWord(UsrConsole& console, const char* name, const char* help,
                      bool (*query)(DevmgrHandle, void*));

  const std::vector<uint8_t> hwid_;
  const ShellSettings& settings_;
  DevmgrHandle handle_ = nullptr;
};

// Formats of the command results.
std::string hexUpper(const uint8_t* bytes, size_t count);
// The 4 bytes as a big-endian decimal, a blank, the bytes in order as hex, "h".
std::string versionWord(const uint8_t bytes[4]);
// A text the device sent into a buffer of `size` bytes: up to its first zero
// byte, never past the buffer.
std::string boundedText(const char* buffer, size_t size);
