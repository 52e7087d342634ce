// One registered device of the scope client: the channel handler's common
// part, the reassembly of the device's messages and the hand-over of a reply
// to the one request that waits for it.
//
// Threads and locks (after those of ChannelHandler.h): a request takes the
// handle's request lock first and holds it from its send until it has read
// its reply, so requests of several threads on one handle run one after the
// other; it holds the channel lock only while it checks that the channel is
// usable, notes that it waits and sends (an unregistration breaks the
// handle under the same lock, so it never misses a waiter). The dispatcher runs
// on the pipe thread under the channel lock and never waits for a requester:
// it copies the reply into the waiting slot (reply lock, a leaf) and goes
// on. A reply nobody waits for is refused.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "ChannelHandler.h"
#include "ScopeReply.h"
#include "plat/threadsafety.h"
#include "scopeproto/scopeproto.h"
#include "translayer/Payload.h"

struct DigScopeCmdProc final : public chanhandler::CmdProcBase {
 public:
  static constexpr int kReplyWaitMs = 1000;
  static constexpr int64_t kProgressIntervalNs = 250'000'000;
  // Reassembly buffers larger than this are freed after their message.
  static constexpr size_t kKeptBuffer = 65536;

  DigScopeCmdProc(const translayer::HwId& hwid, ProtDigScopeCallback callback)
      : CmdProcBase(hwid), callback_(callback) {}

  struct Reply {
    uint8_t code = 0;
    // Direct replies: every byte after the code. Lists and raw replies: the
    // status byte only (their content goes to events 3 and 5).
    std::vector<uint8_t> body;
  };
  // Sends the message and waits until its reply has been handed over (true)
  // or the channel is lost, given up or unregistered (false). Nothing is
  // sent while disconnected or broken, or when the writer failed.
  bool transact(const translayer::MessageWriter& message, Reply* reply);

  // The reply dispatcher (pipe thread, one call per chunk).
  bool deliver(std::shared_ptr<translayer::TrIfTranPayload> chunk) override;
  // The pipe thread's end: broken, and a waiting request gives up.
  void close(bool wait) override;

 protected:
  void setUpChannel() REQUIRES(channelMutex()) override;
  void tearDownChannel() REQUIRES(channelMutex()) override;
  void wakeRequests() REQUIRES(channelMutex()) override;
  void notify(uint64_t event, const void* data, uint64_t length) override;

 private:
  // False refuses the message.
  bool dispatch(bool* handedOver) REQUIRES(channelMutex());
  void progress() REQUIRES(channelMutex());
  bool refuse() REQUIRES(channelMutex());
  void emptyReader() REQUIRES(channelMutex());
  // Reply lock taken inside.
  bool requesterWaits();
  void handOver(Reply reply);
  void failWaiting();

  const ProtDigScopeCallback callback_;

  plat::Mutex requestMutex_;

  plat::Mutex replyMutex_ ACQUIRED_AFTER(requestMutex_);
  plat::CondVar replyCv_;
  // Guarded by replyMutex_: the slot of the one request in flight.
  bool waiting_ GUARDED_BY(replyMutex_) = false;
  bool handed_ GUARDED_BY(replyMutex_) = false;
  bool failed_ GUARDED_BY(replyMutex_) = false;
  Reply reply_ GUARDED_BY(replyMutex_);

  // Guarded by the channel lock:
  std::vector<uint8_t> message_ GUARDED_BY(channelMutex());
  bool progressStarted_ GUARDED_BY(channelMutex()) = false;
  int64_t nextProgress_ GUARDED_BY(channelMutex()) = 0;
  // The last message taken apart (a large record).
  scopereply::Parsed parsed_ GUARDED_BY(channelMutex());
};
