#include "devsim/ServiceTable.h"

namespace devsim {

namespace {

ServiceFactory makeCore(const ServiceSetup& s) { return CoreService::factory(s.state.core); }

ServiceFactory makeParDb(const ServiceSetup& s) { return ParDbService::factory(s.state.pardb); }

ServiceFactory makeStatus(const ServiceSetup& s) { return StatusService::factory(s.state.status); }

// Uploads are paced by the frames the device has sent, as the benchmark's.
ServiceFactory makeFileServer(const ServiceSetup& s) {
  FileServerConfig config = s.state.files->config();
  config.frameData = size_t(s.maxFrameLength) - 2;
  Device* device = &s.device;
  config.framesSent = [device] {
    const DeviceStats stats = device->stats();
    return stats.dataFramesOut - stats.resent;
  };
  s.state.files->configure(config);
  return FileServerService::factory(s.state.files);
}

ServiceFactory makeScope(const ServiceSetup& s) { return ScopeService::factory(s.state.scope); }

ServiceFactory makeBenchEcho(const ServiceSetup& s) {
  BenchEchoOptions bench;
  bench.frameData = size_t(s.maxFrameLength) - 2;
  bench.fault = s.state.benchFault;
  Device* device = &s.device;
  bench.framesSent = [device] {
    const DeviceStats stats = device->stats();
    return stats.dataFramesOut - stats.resent;
  };
  return BenchEchoService::factory(bench);
}

}  // namespace

const std::vector<ServiceEntry>& serviceTable() {
  static const std::vector<ServiceEntry> table = {
      {base::kProtocolCore, makeCore},
      {base::kProtocolParDb, makeParDb},
      {base::kProtocolFileServer, makeFileServer},
      {base::kProtocolStatus, makeStatus},
      {base::kProtocolScope, makeScope},
      {base::kProtocolBenchmark, makeBenchEcho},
  };
  return table;
}

std::vector<uint8_t> advertisedProtocols() {
  std::vector<uint8_t> ids;
  for (const ServiceEntry& entry : serviceTable()) ids.push_back(entry.protocolId);
  return ids;
}

void registerServices(Device& device, DeviceServices& state, uint16_t maxFrameLength) {
  if (!state.core) {
    CoreConfig config;
    config.protocols = advertisedProtocols();
    state.core = std::make_shared<CoreState>(config);
  }
  if (!state.status) state.status = std::make_shared<StatusState>();
  if (!state.scope) state.scope = std::make_shared<ScopeState>();
  if (!state.pardb) state.pardb = std::make_shared<ParDbState>();
  if (!state.files) {
    FileServerConfig files;
    files.volumes = state.core->config().storage;
    state.files = std::make_shared<FileServerState>(files);
  }
  const ServiceSetup setup{device, state, maxFrameLength};
  for (const ServiceEntry& entry : serviceTable())
    device.registerService(entry.protocolId, entry.make(setup));
}

}  // namespace devsim
