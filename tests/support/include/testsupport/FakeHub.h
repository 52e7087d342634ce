// A stand-in connection server for client tests, in the test's own process:
// it serves the control interface at the endpoint of the current runtime
// directory and, for every channel it opens, runs a devsim service (the core
// service, or a test's own) right on the pipe, without a link or a media.
//
// Threads: the RPC call threads run the procedures; every channel has one
// thread that accepts its pipe and runs the pipe engine, and the service's
// calls run there. All public functions may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devsim/Service.h"
#include "plat/threadsafety.h"
#include "translayer/ConnectionServerRpc.h"
#include "translayer/HwId.h"

namespace devmgr_test {

class FakeHub : public translayer::ConnectionServerRpcHandler {
 public:
  FakeHub();
  // Stops the server and ends every channel.
  ~FakeHub() override;

  bool started() const { return started_; }

  // Devices are listed in the order they were added. `service` makes the
  // service of each channel opened on the device.
  void addDevice(const translayer::HwId& hwid, devsim::ServiceFactory service);
  // Takes the device off the list and ends its channels.
  void removeDevice(const translayer::HwId& hwid);

  // OpenChannel answers with this result (nonzero: refused) instead.
  void setOpenResult(uint16_t result);
  // OpenChannel names a pipe nobody listens on.
  void setNameWithoutPipe(bool on);
  // AskUserDeviceSelection: 0 with `chosen`, or 5 (cancelled).
  void setChooser(uint16_t result, const translayer::HwId& chosen);

  size_t channelsOpened() const;
  size_t channelsEnded() const;
  // Waits (generously) until `count` channels have ended.
  bool waitChannelsEnded(size_t count, int ms = 20000) const;

  // ConnectionServerRpcHandler
  uint16_t GetOnlineDevices(translayer::ConnectionServerCall& call, uint64_t cookie) override;
  uint16_t AskUserDeviceSelection(translayer::ConnectionServerCall& call, translayer::HwId* hwid,
                                  uint64_t parentWindow) override;
  uint16_t OpenChannel(translayer::ConnectionServerCall& call, const translayer::HwId& hwid,
                       uint8_t protocolId, int16_t size, std::string* pipeName) override;

 private:
  class Session;
  void sessionEnded();

  translayer::ConnectionServerRpcServer server_;
  bool started_ = false;

  mutable plat::Mutex mutex_;
  mutable plat::CondVar cv_;
  // Guarded by mutex_:
  std::vector<std::pair<translayer::HwId, devsim::ServiceFactory>> devices_ GUARDED_BY(mutex_);
  std::vector<std::unique_ptr<Session>> sessions_ GUARDED_BY(mutex_);
  uint16_t openResult_ GUARDED_BY(mutex_) = 0;
  bool nameWithoutPipe_ GUARDED_BY(mutex_) = false;
  uint16_t chooserResult_ GUARDED_BY(mutex_) = 5;
  translayer::HwId chosen_ GUARDED_BY(mutex_){};
  size_t opened_ GUARDED_BY(mutex_) = 0;
  size_t ended_ GUARDED_BY(mutex_) = 0;
};

}  // namespace devmgr_test
