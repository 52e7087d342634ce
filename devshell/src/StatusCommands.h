// The status commands of the console: getsystemstatus (the device's status
// text), sleep (a pause in a script) and wait (until the device's status
// channel is up). Each registers the device with statproto for the length
// of the command only.
#pragma once

#include <cstdint>
#include <vector>

#include "CoreCommands.h"
#include "UsrConsole.h"
#include "statproto/statproto.h"

class StatusCommands {
 public:
  // Registers the commands with `console`; `settings` must outlive them.
  StatusCommands(UsrConsole& console, std::vector<uint8_t> hwid, const ShellSettings& settings);
  // Unregisters a handle a command left set.
  ~StatusCommands();
  StatusCommands(const StatusCommands&) = delete;
  StatusCommands& operator=(const StatusCommands&) = delete;

  static constexpr int kChannelWaitMs = 5000;
  static constexpr int kTextWaitMs = 2000;

 private:
  // Throws "Error while registering device status".
  void registerDevice();
  void unregisterDevice();

  const std::vector<uint8_t> hwid_;
  const ShellSettings& settings_;
  ProtStatusHandle handle_ = nullptr;
};
