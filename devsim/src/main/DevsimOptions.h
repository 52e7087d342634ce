// The devsim command line.
//
//   devsim --vbus DIR --id NAME [--hwid 32HEX] [--id NAME [--hwid 32HEX]]... [options]
//
// --id and --hwid may be repeated, or take comma-separated lists; the n-th
// HWID belongs to the n-th id. Without any --hwid each device's HWID is made
// from its id, so the same id always gives the same HWID.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devsim/BenchEchoService.h"
#include "devsim/ParDbService.h"
#include "translayer/HwId.h"

namespace devsim::cli {

struct DeviceSpec {
  std::string id;
  translayer::HwId hwid{};
};

struct Options {
  std::string vbusDir;  // default $USBLINK_VBUS
  std::vector<DeviceSpec> devices;
  uint16_t maxFrameLength = 255;
  uint8_t channelCount = 15;
  uint16_t transferSize = 4096;
  std::string storageDir;       // empty: no storage
  std::string friendlyName;     // empty: the device's id
  std::string deviceName;       // empty: the core service's default
  std::string fwVersionString;  // empty: the core service's default
  bool fwUpgrade = false;       // carry out upgrade requests from stored packages
  devsim::BenchFault benchFault = devsim::BenchFault::kNone;
  devsim::ParDbFault pardbFault = devsim::ParDbFault::kNone;
  bool hasSerial = false;
  uint32_t serial = 0;
  bool help = false;
  bool version = false;
};

// Parses argv (without the program name). False with *error set on misuse.
// `envVbus` is the value of $USBLINK_VBUS (null when unset).
bool parseOptions(const std::vector<std::string>& args, const char* envVbus, Options* options,
                  std::string* error);

// The HWID a device gets from its id when none is given.
translayer::HwId hwIdFromName(const std::string& id);

std::string usage();

}  // namespace devsim::cli
