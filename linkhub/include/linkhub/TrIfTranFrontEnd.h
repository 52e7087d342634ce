// The server end of one channel pipe: creates the pipe under the name that
// OpenChannel returned, waits for the one client, then runs the pipe engine
// with the channel's slot as its receiver. Chunks from the client go to the
// device through the slot; the device's chunks arrive through deliver() (the
// engine's, which queues them for the pipe). When the loop ends the front end
// marks itself finished and wakes the server's reaper, which deletes it.
//
// A client that does not connect within the connect time-out (5 s) gives the
// channel up: the pipe is removed and the slot closed, as when the client
// closes its end. A client whose connect went through by then (waiting in
// the listen backlog) is still taken.
//
// Threads: the front end's own thread ("TrIfTranFrontEnd") runs the whole
// pipe life. The device session calls deliver() and close(false) (media I/O
// thread, layer thread, manager thread); the OpenChannel call thread waits on
// connectResult; the reaper deletes it once finished.
//
// Lifecycle: created (OpenChannel) -> given its name and slot -> started ->
// listening (connectResult set, notConnected 0) -> client connected, or
// given up after the time-out or a close -> looping -> ended (pipe closed,
// slot's close(false) called once, finished, reaper woken) -> deleted. When
// the pipe cannot be created the thread ends right after setting
// connectResult with notConnected 1 and without touching the slot; its
// creator then closes the slot (releaseSlot) and deletes it.
#pragma once

#include <atomic>
#include <string>

#include "plat/wake.h"
#include "translayer/Event.h"
#include "translayer/ThreadBase.h"
#include "translayer/TrIfTranCommon.h"

namespace linkhub {

class TrIfTranFrontEnd : public translayer::ThreadBase, public translayer::TrIfTranCommon {
 public:
  static constexpr int kConnectTimeoutMs = 5000;

  // `reaper` (not owned) is set once the loop has ended.
  explicit TrIfTranFrontEnd(translayer::Event* reaper, int connectTimeoutMs = kConnectTimeoutMs);
  // Stops the loop (or the wait for the client) and joins the thread.
  ~TrIfTranFrontEnd() override;

  // Before start(): the pipe's name (Windows form) and the channel slot, which
  // receives the client's chunks and, once, close(false) at the end.
  void setChannel(const std::string& pipeName, translayer::TrIfTranRemote* slot);
  const std::string& pipeName() const { return pipeName_; }

  // Asks the channel to end, also while still waiting for the client.
  void close(bool wait) override;

  // For a front end whose thread never started or ended without looping:
  // closes the slot (freeing the link channel) and forgets it.
  void releaseSlot();

  // True once the loop has ended and the slot was told; the thread is about
  // to return (deleting the object joins it).
  bool finished() const { return finished_.load(std::memory_order_acquire); }

 protected:
  void run() override;
  // Runs on the front end's thread once the connect time-out has passed,
  // right before the last look for a client; a seam for tests.
  virtual void connectDeadlinePassed() {}

 private:
  // The connection, or kInvalidHandle when no client came in time or the
  // channel was asked to end; the listener is gone either way.
  plat::Handle awaitClient(plat::Handle listener);

  std::string pipeName_;
  translayer::TrIfTranRemote* slot_ = nullptr;  // not owned; set before start
  translayer::Event* const reaper_;
  const int connectTimeoutMs_;
  plat::WakeEvent acceptWake_;  // set by close(): ends the wait for the client
  std::atomic<bool> finished_{false};
};

}  // namespace linkhub
