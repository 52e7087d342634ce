// The server side of the control interface ConnectionServerRpc: serves its
// procedures on the RPC transport's call threads, owns every pipe front end
// that OpenChannel creates, and runs the reaper ("TrIfServer") that deletes
// front ends whose channel has ended.
//
// Threads:
// - the owner's thread: start(), stop(), the destructor;
// - RPC call threads (at least 16, up to 1234 calls at once): the procedures;
//   several OpenChannel calls run at once, each waiting only for its own
//   front end;
// - the reaper thread: deletes finished front ends (their threads have ended
//   or are about to; deleting joins them), and all of them at stop().
//
// Locks (see TransportManager.h for the order across the server): stopMutex_
// and serverMutex_ are leaves; the procedures call into the transport manager
// and back to the client with neither held.
//
// Front ends enter the set before their thread starts, marked as in use by
// their OpenChannel call, which the reaper leaves alone; the call clears the
// mark when it is done with them.
//
// Shutdown (stop()): open choosers are cancelled, the RPC endpoint stops
// accepting and the calls in flight are drained (their client connections
// are cut, so callbacks fail at once; every procedure is bounded), then the
// reaper ends every front end and is joined. Only then may the transport
// manager go.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <stop_token>
#include <string>

#include "linkhub/RpcHeap.h"
#include "linkhub/ServerUi.h"
#include "plat/rpc.h"
#include "plat/threadsafety.h"
#include "translayer/ConnectionServerRpc.h"
#include "translayer/Event.h"
#include "translayer/HwId.h"
#include "translayer/ThreadBase.h"

namespace linkhub {

class TransportManager;
class TrIfTranFrontEnd;

class TrIfServer : public translayer::ThreadBase, private translayer::ConnectionServerRpcHandler {
 public:
  struct Options {
    // Endpoint, call threads (16 kept ready), concurrent calls (1234), peer
    // user (this process's own).
    plat::RpcServerOptions rpc;
    size_t heapInitialBytes = RpcHeap::kInitialBytes;
    size_t heapMaximumBytes = RpcHeap::kMaximumBytes;
    // How long a front end waits for its client.
    int connectTimeoutMs = 5000;
    // How long a client may read nothing while its channel holds as much as
    // it may for it before the channel is ended (0: never).
    int stalledClientMs = 30000;
  };

  // Results of the procedures.
  enum : uint16_t {
    kOk = 0,
    kBufferTooSmall = 1,  // also: the pipe could not be created
    kNoDevice = 2,
    kNoFreeChannel = 3,
    kCallbackFailed = 4,
    kCancelled = 5,
  };

  // `manager` must outlive the server; `chooser` (may be null: no chooser)
  // too.
  TrIfServer(TransportManager* manager, DeviceChooser* chooser);
  TrIfServer(TransportManager* manager, DeviceChooser* chooser, const Options& options);
  // stop().
  ~TrIfServer() override;

  // Creates the private RPC heap, empties the pipe directory of stale pipes,
  // starts serving and the reaper. False after ShowFatalError ("HeapCreate
  // failed", "RpcServerUseAllProtseqsIf failed" or "RpcServerListen failed"
  // with the failing code). Called once.
  bool start();
  // See the header comment. Idempotent.
  void stop();

  // The procedures, also for in-process callers (who must have returned
  // before stop()).
  // OpenChannel: 0 and the pipe's name (without terminator, which with the
  // name fits into `size` bytes); 1 too small a buffer or no pipe; 2 no
  // connected device with the id; 3 no free channel on it.
  uint16_t openChannel(const translayer::HwId& hwid, uint8_t protocolId, int16_t size,
                       std::string* pipeName);
  // GetOnlineDevices: `callback` gets the sorted ids (from the private heap)
  // and returns 0 when the client took them, else its exception code. 0 or 4.
  uint16_t getOnlineDevices(
      const std::function<uint32_t(const translayer::HwId*, size_t)>& callback);
  // AskUserDeviceSelection: 0 and the chosen id, or 5 (no chooser,
  // cancelled, stopping).
  uint16_t askUserDeviceSelection(translayer::HwId* hwid, uint64_t parentWindow);

  // The name of the pipe numbered `number`: \\.\pipe\zamoconnectionserver_\%08X.
  static std::string pipeNameFor(uint32_t number);

  // Observers.
  size_t frontEndCount() const;
  unsigned callsInFlight() const { return rpc_.callsInFlight(); }
  RpcHeap& heap() { return heap_; }

 protected:
  void run() override;  // the reaper

 private:
  uint16_t GetOnlineDevices(translayer::ConnectionServerCall& call, uint64_t cookie) override;
  uint16_t AskUserDeviceSelection(translayer::ConnectionServerCall& call, translayer::HwId* hwid,
                                  uint64_t parentWindow) override;
  uint16_t OpenChannel(translayer::ConnectionServerCall& call, const translayer::HwId& hwid,
                       uint8_t protocolId, int16_t size, std::string* pipeName) override;

  // Takes every front end out of the set, ends them all, then deletes (joins) each.
  void endAllFrontEnds();

  // Removes a front end that never looped from the set, closes its slot and
  // deletes it (OpenChannel failures after the channel was allocated).
  void discard(TrIfTranFrontEnd* frontEnd);
  void emptyPipeDirectory();

  TransportManager* const manager_;
  DeviceChooser* const chooser_;
  const Options options_;
  RpcHeap heap_;
  translayer::ConnectionServerRpcServer rpc_;
  std::stop_source stopSource_;  // requested at stop(): choosers give up

  mutable plat::Mutex serverMutex_ ACQUIRED_AFTER(stopMutex_);
  uint32_t counter_ GUARDED_BY(serverMutex_) = 0;  // the next pipe number, wraps
  // guarded by serverMutex_: the live front ends (owned), each with its
  // "in use by OpenChannel" mark.
  std::map<TrIfTranFrontEnd*, bool> frontEnds_;

  plat::Mutex stopMutex_;
  bool stopped_ GUARDED_BY(stopMutex_) = false;  // the reaper is told to end
  bool started_ GUARDED_BY(stopMutex_) = false;
  translayer::Event reaperEvent_;
};

}  // namespace linkhub
