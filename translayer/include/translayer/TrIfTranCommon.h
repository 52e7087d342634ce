// The pipe message engine that runs at both ends of a channel pipe: one loop
// (on the owner's thread) reads the pipe record by record and hands every
// chunk to its receiver, and writes, one at a time and in order, the chunks
// that any thread queues through deliver().
//
// Threads: ioLoop runs on the owner's thread and is the only user of the pipe
// handle. Any thread may call deliver() and close(). The receiver's deliver()
// and close(false) are called on the loop thread; they must not wait for this
// engine (delivering to it, or to another engine, only queues).
//
// Lifecycle: idle -> looping (ioLoop) -> ended; never restarted. A stop
// request made while idle is kept: the loop then ends as soon as it starts,
// after writing what was queued. Ended is sticky.
//
// Owners: set notConnected = 0 only when the loop will run next; an owner
// that then finds it has no pipe after all (waitForPeer stopped before the
// peer came) still calls ioLoop(kInvalidHandle, receiver), which ends at once
// and tells the receiver. close(true) relies on this to wait for a loop that
// is about to start.
//
// Locks: the stop lock and the queue lock are never held together, and
// neither is held while the receiver is called.
// Where the engine sits between clients and devices: docs/architecture.md.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "plat/handle.h"
#include "translayer/BlockingQueue.h"
#include "translayer/Event.h"
#include "translayer/Payload.h"
#include "translayer/TrIfTranRemote.h"

namespace translayer {

class TrIfTranCommon : public TrIfTranRemote {
 public:
  TrIfTranCommon();
  virtual ~TrIfTranCommon();
  TrIfTranCommon(const TrIfTranCommon&) = delete;
  TrIfTranCommon& operator=(const TrIfTranCommon&) = delete;

  // Queues one chunk for writing and wakes the loop; true. A chunk that
  // comes after a close request or after the loop ended is dropped.
  bool deliver(std::shared_ptr<TrIfTranPayload> chunk) override;
  // Asks the loop to end. Chunks already queued are still written (for at
  // most kDrainMs) before the pipe is closed; what the peer sends from now on
  // is no longer delivered. With wait, returns once the loop has ended (the
  // receiver's close(false) has returned), also when the loop of a connected
  // engine has yet to start; returns at once when the engine never connected,
  // has already ended, or this is the loop thread itself.
  void close(bool wait) override;
  // False while kBacklogChunks or more chunks wait to be written; the
  // receiver's roomAgain() follows once half of them have gone.
  bool hasRoom() override;
  // Ends the channel when nothing has been written for `ms` while the
  // backlog is at its bound or hasRoom() has said no since (a peer that
  // stopped reading). 0, the default, never does.
  void setStallLimit(int ms);

  // Runs the channel on `pipe` (which the loop owns and closes) until it
  // ends: the peer closed, a pipe error, an overlong record, the receiver
  // refused a chunk, or a stop request. Then, in this order: the pipe is
  // closed, receiver->close(false) is called once, the engine is ended.
  // A second call on the same engine, or one with kInvalidHandle, runs
  // nothing: it closes its pipe and tells its receiver at once.
  void ioLoop(plat::Handle pipe, TrIfTranRemote* receiver);

  // For the listening end, on the owner's thread before ioLoop: waits at most
  // timeoutMs (-1: no limit) for the pipe's one peer, watching for a stop
  // request meanwhile. 0 with *pipe set; 1236 (ERROR_CONNECTION_ABORTED) when
  // the channel was asked to end first; 258 on a time-out (the listener is
  // then still open); else the pipe's error code. Except on a time-out the
  // listener is gone (closed, its name removed) when this returns.
  int waitForPeer(plat::Handle listener, plat::Handle* pipe, int timeoutMs);

  // True once a loop has ended (or a refused second loop ran).
  bool ended() const;

  static constexpr int kDrainMs = 1000;
  // About 4 MiB of chunks.
  static constexpr size_t kBacklogChunks = 4096;

  Event connectResult;               // set once the pipe connected or failed to
  std::atomic<int> notConnected{1};  // 0 once connected

 protected:
  bool stopRequested() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace translayer
