#include "FileServerProc.h"

#include <chrono>
#include <cstring>

#include "clientcommon/Channel.h"

using translayer::HwId;
using translayer::ThreadBase;
using translayer::TrIfTranClient;
using translayer::TrIfTranPayload;

namespace fsproto {

namespace {
// The transfer whose thread this is (pipe or transfer thread), if any.
thread_local const FileServerProc* tOwnTransfer = nullptr;
}  // namespace

FileServerProc::FileServerProc(const HwId& hwid, ProtFSrvCallback callback, void* user,
                               FileTransfer::Setup setup)
    : ThreadBase(""),
      hwid_(hwid),
      callback_(callback),
      user_(user),
      transfer_(std::move(setup), this) {}

FileServerProc::~FileServerProc() {
  {
    plat::LockGuard lock(dispatch_);
    closed_ = true;
  }
  wake_.notify_all();
  join();
  std::unique_ptr<TrIfTranClient> client;
  {
    // The pipe thread still runs until the channel is closed.
    plat::LockGuard lock(dispatch_);
    client = std::move(client_);
  }
  clientcommon::closeChannel(std::move(client));
}

int64_t FileServerProc::now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool FileServerProc::onOwnThread() const { return tOwnTransfer == this; }

void FileServerProc::failOnCaller(int32_t code) {
  plat::LockGuard lock(dispatch_);
  transfer_.fail(code);
}

bool FileServerProc::start() {
  // A transfer starts only once its pipe is open. Not under dispatch_: a
  // failed open waits for the pipe thread, which may be waiting for it.
  // From here on the device may speak before the request is out; the
  // transfer refuses that.
  std::unique_ptr<TrIfTranClient> client =
      clientcommon::openConnectedChannel(base::kProtocolFileServer, hwid_, this, kConnectWaitMs);
  if (!client) {
    failOnCaller(FileTransfer::kNoChannel);
    return false;
  }
  int sourceResult = 0;
  {
    plat::LockGuard lock(dispatch_);
    // One that has already failed needs no source: it only has to end.
    if (!transfer_.finished()) sourceResult = transfer_.openSource();
  }
  if (sourceResult != 0) {
    clientcommon::closeChannel(std::move(client));
    failOnCaller(sourceResult);
    return false;
  }
  {
    // Armed before the thread looks at the deadline.
    plat::LockGuard lock(dispatch_);
    client_ = std::move(client);
    transfer_.begin(now());
  }
  ThreadBase::start();
  return true;
}

bool FileServerProc::finished() {
  plat::LockGuard lock(dispatch_);
  return transfer_.finished();
}

bool FileServerProc::deliver(std::shared_ptr<TrIfTranPayload> chunk) {
  tOwnTransfer = this;
  bool accepted = false;
  bool wake = false;
  {
    plat::LockGuard lock(dispatch_);
    const int64_t before = transfer_.deadline();
    accepted = chunk && transfer_.onChunk(chunk->data, chunk->length, chunk->last != 0, now());
    // The thread sleeps until the old deadline: it must hear of an earlier
    // one (a busy answer's resend) and of the outcome.
    wake = transfer_.finished() || transfer_.deadline() < before;
  }
  if (wake) wake_.notify_all();
  return accepted;
}

void FileServerProc::close(bool) {
  tOwnTransfer = this;
  {
    plat::LockGuard lock(dispatch_);
    closed_ = true;
  }
  wake_.notify_all();
}

void FileServerProc::run() {
  tOwnTransfer = this;
  {
    plat::UniqueLock lock(dispatch_);
    while (!transfer_.finished()) {
      if (closed_) {
        transfer_.onChannelClosed();
        break;
      }
      const int64_t t = now();
      if (t >= transfer_.deadline()) {
        transfer_.onTimer(t);
        continue;
      }
      wake_.wait_for(lock, std::chrono::nanoseconds(transfer_.deadline() - t));
    }
  }
  // The outcome is known: the channel goes at once, not when the transfer
  // is freed. The client itself stays until then, so this thread may close
  // it unlocked (waiting for the pipe thread, which may want dispatch_).
  TrIfTranClient* client = nullptr;
  {
    plat::LockGuard lock(dispatch_);
    client = client_.get();
  }
  client->TrIfTranCommon::close(true);
  client->unbind();
}

// Only transfer_ calls this, and only under dispatch_, which the analysis
// cannot see through the sink.
void FileServerProc::sendChunk(const uint8_t* data, size_t length,
                               bool last) NO_THREAD_SAFETY_ANALYSIS {
  if (!client_) return;
  auto chunk = std::make_shared<TrIfTranPayload>();
  chunk->length = uint16_t(length);
  chunk->last = last ? 1 : 0;
  if (length) std::memcpy(chunk->data, data, length);
  client_->deliver(std::move(chunk));
}

void FileServerProc::report(int event, const void* data, size_t length) {
  if (callback_) callback_(user_, event, data, length);
}

}  // namespace fsproto
