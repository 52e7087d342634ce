// One file server transfer: its channel, its thread and the protocol state
// (FileTransfer) that both the pipe thread and the transfer thread drive.
//
// Threads: start() and the destructor on a caller's thread; deliver and
// close (TrIfTranRemote) on the channel's pipe thread; run() on the
// transfer's own thread, which waits for the deadlines and the channel's
// end, then closes the channel.
// Locks: dispatch_ guards the protocol state, the closed flag and the
// client pointer, and is held while the callback runs; it is never held
// while waiting for the pipe thread or the transfer thread (nor while the
// channel opens).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "FileTransfer.h"
#include "plat/threadsafety.h"
#include "translayer/HwId.h"
#include "translayer/ThreadBase.h"
#include "translayer/TrIfTranClient.h"
#include "translayer/TrIfTranRemote.h"

namespace fsproto {

class FileServerProc final : public translayer::TrIfTranRemote,
                             public translayer::ThreadBase,
                             private TransferSink {
 public:
  // The pipe thread sets the connect result as soon as it has run; this
  // only guards against one that never does.
  static constexpr int kConnectWaitMs = 30000;

  FileServerProc(const translayer::HwId& hwid, ProtFSrvCallback callback, void* user,
                 FileTransfer::Setup setup);
  // Ends the transfer (-108 when it was still running), waits for its
  // threads and frees the channel.
  ~FileServerProc() override;

  // Opens the channel, then (download) the local file, starts the thread and
  // sends the request. False when it could not start: the failure (-107, -2
  // or -27) has been reported on this thread.
  bool start();
  bool finished();
  // True on the transfer's own threads (its pipe thread or transfer thread).
  bool onOwnThread() const;

  // TrIfTranRemote, on the pipe thread.
  bool deliver(std::shared_ptr<translayer::TrIfTranPayload> chunk) override;
  void close(bool wait) override;

 protected:
  void run() override;

 private:
  // TransferSink, dispatch_ held.
  void sendChunk(const uint8_t* data, size_t length, bool last) override;
  void report(int event, const void* data, size_t length) override;

  static int64_t now();
  void failOnCaller(int32_t code);

  const translayer::HwId hwid_;
  const ProtFSrvCallback callback_;
  void* const user_;

  plat::Mutex dispatch_;
  plat::CondVar wake_;
  FileTransfer transfer_ GUARDED_BY(dispatch_);
  bool closed_ GUARDED_BY(dispatch_) = false;

  // Set just before the request goes out (the pipe thread may already be
  // delivering), freed by the destructor.
  std::unique_ptr<translayer::TrIfTranClient> client_ GUARDED_BY(dispatch_);
};

}  // namespace fsproto
