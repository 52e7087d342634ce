// One registered device of the status client: the channel handler's common
// part plus the reply buffer and what the handle still awaits from the
// device. Threads and locks: ChannelHandler.h; the dispatcher runs on the
// pipe thread under the channel lock, requests on the caller's thread under
// the same lock.
#pragma once

#include <cstdint>
#include <vector>

#include "ChannelHandler.h"
#include "statproto/statproto.h"

struct StatusCmdProc final : public chanhandler::CmdProcBase {
 public:
  static constexpr size_t kReplyBuffer = 65536;
  static constexpr int kReplyWaitMs = 1000;

  StatusCmdProc(const translayer::HwId& hwid, ProtStatusCallback callback)
      : CmdProcBase(hwid), callback_(callback) {}

  bool requestSignature();
  bool requestNotifications();

  // The reply dispatcher (pipe thread).
  bool deliver(std::shared_ptr<translayer::TrIfTranPayload> chunk) override;

 protected:
  void setUpChannel() REQUIRES(channelMutex()) override;
  void tearDownChannel() REQUIRES(channelMutex()) override;
  void notify(uint64_t event, const void* data, uint64_t length) override;

 private:
  enum class Asked { kSignature, kNotifications };
  bool request(const uint8_t* message, size_t length, Asked asked);
  // A whole message in reply_: its event; false when it breaks the rules.
  bool dispatch() REQUIRES(channelMutex());
  bool awaiting() REQUIRES(channelMutex()) {
    return signaturesAwaited_ > 0 || firstNotificationAwaited_;
  }

  const ProtStatusCallback callback_;
  // Guarded by the channel lock:
  std::vector<uint8_t> reply_ GUARDED_BY(channelMutex());
  uint32_t signaturesAwaited_ GUARDED_BY(channelMutex()) = 0;
  bool firstNotificationAwaited_ GUARDED_BY(channelMutex()) = false;
};
