// The pipe message engine that runs at both ends of a channel pipe: one loop
// thread (the owner's) drives one read and at most one write at a time,
// hands every chunk read to its receiver and writes the chunks that other
// threads queue through deliver().
//
// Threads: ioLoop runs on the owner's thread and is the only user of the pipe
// handle. Any thread may call deliver() and close(). The receiver's deliver()
// and close(false) are called on the loop thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "plat/handle.h"
#include "translayer/BlockingQueue.h"
#include "translayer/Event.h"
#include "translayer/Payload.h"
#include "translayer/TrIfTranRemote.h"

class TrIfTranCommon : public TrIfTranRemote {
 public:
  TrIfTranCommon();
  virtual ~TrIfTranCommon();

  // Queues one chunk for writing and wakes the loop; true.
  bool deliver(std::shared_ptr<TrIfTranPayload> chunk) override;
  // Asks the loop to end. With wait, returns once the loop has ended; returns
  // at once when the loop never ran or has already ended. Chunks already
  // queued are still written (for at most 1 s) before the pipe is closed.
  void close(bool wait) override;

  // Runs the channel on `pipe` (which the loop owns and closes) until it ends;
  // then calls receiver->close(false) once and marks the engine ended.
  void ioLoop(plat::Handle pipe, TrIfTranRemote* receiver);

  Event connectResult;                 // set once the pipe connected or failed to
  std::atomic<int> notConnected{1};    // 0 once connected

 protected:
  bool stopRequested() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
