// The connection server's core (transport manager and RPC server) in the
// test's own process, over the in-process media, with emulated devices that
// run the services of the devsim service table. Clients reach it exactly as they reach the
// linkhub program: through the control endpoint and channel pipes of the
// current runtime directory, over the link protocol to each device.
//
// A device asked to reset leaves the media and comes back under the same
// HwId with the same core state, as a real one leaves the bus.
//
// Threads: every public function may be called from any thread but the
// devices' own; a replug runs on the host's own worker thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "devsim/ServiceTable.h"
#include "plat/threadsafety.h"
#include "translayer/HwId.h"

namespace linkhub {
class TransportManager;
class TrIfServer;
}  // namespace linkhub

namespace devsim {
class InProcessMedia;
}

namespace devmgr_test {

class LinkhubHost {
 public:
  // LINKHUB_RUNTIME_DIR must name the test's own directory already.
  LinkhubHost();
  ~LinkhubHost();
  LinkhubHost(const LinkhubHost&) = delete;
  LinkhubHost& operator=(const LinkhubHost&) = delete;

  // Starts the manager and the RPC server. False when the endpoint cannot
  // be served.
  bool start();

  // Attaches a device with its core state and waits (generously) until the
  // server lists it. False when it did not come online.
  bool addDevice(const translayer::HwId& hwid, std::shared_ptr<devsim::CoreState> core);
  // The same with the state of every service (missing ones are made).
  bool addDevice(const translayer::HwId& hwid, devsim::DeviceServices services);
  // Detaches the device (its channels end).
  void removeDevice(const translayer::HwId& hwid);
  // Waits (generously) until the server lists the device, or no longer does.
  bool waitOnline(const translayer::HwId& hwid, bool online) const;
  std::vector<translayer::HwId> onlineDevices() const;
  // Replugs done after reset requests.
  size_t replugs() const;

 private:
  struct Attached {
    uint32_t index = 0;
    devsim::DeviceServices services;
  };
  void attach(const translayer::HwId& hwid, const devsim::DeviceServices& services)
      REQUIRES(mutex_);
  void replugLater(const translayer::HwId& hwid);
  void runWorker();

  std::unique_ptr<devsim::InProcessMedia> media_;
  std::unique_ptr<linkhub::TransportManager> manager_;
  std::unique_ptr<linkhub::TrIfServer> server_;

  mutable plat::Mutex mutex_;
  plat::CondVar cv_;
  // Guarded by mutex_:
  std::map<translayer::HwId, Attached> devices_ GUARDED_BY(mutex_);
  std::deque<translayer::HwId> replugQueue_ GUARDED_BY(mutex_);
  size_t replugs_ GUARDED_BY(mutex_) = 0;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread worker_ GUARDED_BY(mutex_);
};

}  // namespace devmgr_test
