// One registered device of the parameter database client: the channel
// handler's common part plus the queue of replies the device still owes and
// the buffer a reply is gathered in. Replies are matched to requests by
// order alone. Threads and locks: ChannelHandler.h; the dispatcher runs on
// the pipe thread under the channel lock, requests on the caller's thread
// under the same lock, so the queue's order is the order on the pipe.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "ChannelHandler.h"
#include "pardbproto/pardbproto.h"

struct ParamCmdProc final : public chanhandler::CmdProcBase {
 public:
  static constexpr size_t kReplyBuffer = 65536;
  static constexpr int kReplyWaitMs = 1000;

  ParamCmdProc(const translayer::HwId& hwid, ProtParDBCallback callback)
      : CmdProcBase(hwid), callback_(callback) {}

  bool requestSignature();
  bool requestStore();
  bool requestRead(uint16_t index);
  bool requestWrite(uint16_t index, const uint8_t* data, size_t length);

  // The reply dispatcher (pipe thread), one call per chunk.
  bool deliver(std::shared_ptr<translayer::TrIfTranPayload> chunk) override;

 protected:
  void setUpChannel() REQUIRES(channelMutex()) override;
  void tearDownChannel() REQUIRES(channelMutex()) override;
  void notify(uint64_t event, const void* data, uint64_t length) override;

 private:
  struct Expected {
    uint8_t code;
    uint16_t index;
  };
  // Takes the channel lock: sends the chunks and queues the expected reply.
  bool send(std::vector<std::shared_ptr<translayer::TrIfTranPayload>> chunks, Expected expected)
      EXCLUDES(channelMutex());
  // A whole reply in reply_: its event; false when it breaks the rules.
  bool dispatch() REQUIRES(channelMutex());
  void emptyReply() REQUIRES(channelMutex());

  const ProtParDBCallback callback_;
  // Guarded by the channel lock:
  std::deque<Expected> expected_ GUARDED_BY(channelMutex());
  std::vector<uint8_t> reply_ GUARDED_BY(channelMutex());
};
