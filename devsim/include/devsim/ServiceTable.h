// The services a device runs, in one table of {protocol id, factory}: the
// devsim program, the in-process device host and the test helpers register
// their devices' services from it, and the device advertises its protocol
// ids from it. Adding a service is one entry here (and its state below).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "devsim/BenchEchoService.h"
#include "devsim/CoreService.h"
#include "devsim/Device.h"
#include "devsim/FileServerService.h"
#include "devsim/ParDbService.h"
#include "devsim/ScopeService.h"
#include "devsim/Service.h"
#include "devsim/StatusService.h"

namespace devsim {

// What a device's services keep beyond one channel; the services of every
// channel of the device share it. A null member is made with its defaults
// when the services are registered.
struct DeviceServices {
  std::shared_ptr<CoreState> core;
  std::shared_ptr<StatusState> status;
  std::shared_ptr<ParDbState> pardb;
  // Made with the core state's storage volumes.
  std::shared_ptr<FileServerState> files;
  std::shared_ptr<ScopeState> scope;
  // Read when the services are registered.
  BenchFault benchFault = BenchFault::kNone;
};

// What a factory maker gets: the device, its state, and the longest frame it
// sends.
struct ServiceSetup {
  Device& device;
  DeviceServices& state;
  uint16_t maxFrameLength;
};

struct ServiceEntry {
  uint8_t protocolId;
  ServiceFactory (*make)(const ServiceSetup& setup);
};

// By ascending protocol id.
const std::vector<ServiceEntry>& serviceTable();
// The protocol ids of the table, as the core service reports them.
std::vector<uint8_t> advertisedProtocols();
// Registers every service of the table on `device` (its missing states made
// first; a core state made here advertises the table's ids).
void registerServices(Device& device, DeviceServices& state, uint16_t maxFrameLength);

}  // namespace devsim
