// The whole road from a client to an emulated device, for end-to-end tests
// and benchmarks: a private runtime directory with its registry file naming
// this build's usblink, a virtual bus directory, a linkhub process and devsim
// processes on that bus.
//
// Use:
//   e2e::Road road;                      // dirs made, environment exported
//   ASSERT_TRUE(road.ok());
//   ASSERT_TRUE(road.startHub());        // linkhub answers its control endpoint
//   int sim = road.startDevsim({{"dev1", e2e::Road::makeHwId(1)}});
//   ASSERT_TRUE(road.waitOnline({e2e::Road::makeHwId(1)}));
//   ... TrIfTranClient / client libraries against the device ...
//   road.killDevsim(sim);                // as if the device was pulled
//
// Or with a device of the test process, whose state and knobs the test
// turns while the server talks to it:
//   devsim::DeviceHost* dev = road.plugDevice({"dev2", e2e::Road::makeHwId(2)});
//   dev->status().setText("...");        // dev->unplug(), dev->replug(ms)
//
// The constructor sets LINKHUB_RUNTIME_DIR, LINKHUB_REGISTRY and USBLINK_VBUS
// in this process, so the clients of the test and every program it starts
// use the private directories; make one Road per test, before any thread of
// the test starts. Children write their output to this process's standard
// error, each line marked with the child's name.
//
// Threads: a Road is used from one thread (the test's); it runs one thread
// per child to carry its output.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "devsim/DeviceHost.h"
#include "translayer/HwId.h"

namespace e2e {

class Road {
 public:
  struct Device {
    std::string id;  // the vbus id ([A-Za-z0-9_-])
    translayer::HwId hwid;
  };

  // Generous: nothing here depends on the machine's speed.
  static constexpr int kWaitMs = 30000;

  Road();
  // Stops every child (SIGTERM, then SIGKILL after kWaitMs) and removes the
  // directories.
  ~Road();
  Road(const Road&) = delete;
  Road& operator=(const Road&) = delete;

  // The directories were made and the registry file written.
  bool ok() const { return ok_; }
  const std::string& baseDir() const { return base_; }
  const std::string& runtimeDir() const { return runtime_; }
  const std::string& vbusDir() const { return vbus_; }
  const std::string& registryFile() const { return registry_; }

  // Starts linkhub and waits until it answers GetOnlineDevices.
  bool startHub();
  // The same through env(1) with these arguments before the program (e.g.
  // "-u", "USBLINK_VBUS", "NAME=value"), for a server that needs its own
  // environment.
  bool startHub(const std::vector<std::string>& envArgs);
  // SIGTERM and wait: true when it ended with exit code 0.
  bool stopHub();
  bool hubRunning() const;
  // The server's process id (for its processor time), -1 before startHub.
  int hubPid() const;
  // The process id of devsim number `sim`, -1 when there is none.
  int devsimPid(int sim) const;
  // What the server printed (standard output and error), line by line: the
  // running one's so far, else everything of the last one stopped.
  std::vector<std::string> hubLines() const;
  // Waits until the running server has printed a line that `match` accepts.
  bool waitHubLine(const std::function<bool(const std::string&)>& match, int timeoutMs = kWaitMs);

  // Starts one devsim process for `devices` (more options in `extraArgs`)
  // and waits until it has published them. Returns its number for
  // stopDevsim/killDevsim, or -1 when it did not come up.
  int startDevsim(const std::vector<Device>& devices,
                  const std::vector<std::string>& extraArgs = {});
  // SIGTERM and wait: true when it ended with exit code 0 and its socket
  // files are gone.
  bool stopDevsim(int sim);
  // SIGKILL and wait: the devices vanish without a word, their socket files
  // stay behind.
  bool killDevsim(int sim);

  // Plugs a device of this process onto the bus (storage in
  // baseDir()/storage unless `options` names one; the id and HWID are taken
  // from `device`) and waits until linkhub lists it, when `waitOnline`. Null
  // when it did not come up. The road owns it until its end.
  devsim::DeviceHost* plugDevice(const Device& device, devsim::HostOptions options = {},
                                 bool waitOnline = true);

  // The ids linkhub lists now (GetOnlineDevices); empty also when the call
  // failed, which *ok tells.
  std::vector<translayer::HwId> onlineDevices(bool* ok = nullptr) const;
  // Waits until every id of `ids` is listed (present) or none is (!present).
  bool waitOnline(const std::vector<translayer::HwId>& ids, bool present = true,
                  int timeoutMs = kWaitMs) const;

  // A HWID whose bytes are seed, seed + 1, ... seed + 15.
  static translayer::HwId makeHwId(uint8_t seed);
  // 32 upper-case hex digits.
  static std::string hexOf(const translayer::HwId& hwid);

  // The programs and the media library of this build.
  static std::string linkhubPath();
  static std::string devsimPath();
  static std::string usblinkPath();

 private:
  class Child;

  bool ok_ = false;
  std::string base_, runtime_, vbus_, registry_;
  std::unique_ptr<Child> hub_;
  std::vector<std::string> hubLines_;  // of the last server stopped
  std::vector<std::unique_ptr<Child>> sims_;
  std::vector<std::vector<Device>> simDevices_;
  std::vector<std::unique_ptr<devsim::DeviceHost>> hosts_;
};

}  // namespace e2e
