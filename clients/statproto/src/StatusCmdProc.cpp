#include "StatusCmdProc.h"

#include <cstring>
#include <mutex>

#include "base/ByteReader.h"
#include "plat/threadsafety.h"
#include "svcwire/StatusWire.h"

using translayer::kChunkData;
using translayer::TrIfTranClient;
using translayer::TrIfTranPayload;

namespace wire = svcwire::status;

void StatusCmdProc::setUpChannel() {
  reply_.clear();
  reply_.reserve(kReplyBuffer);
  signaturesAwaited_ = 0;
  firstNotificationAwaited_ = false;
}

void StatusCmdProc::tearDownChannel() {
  std::vector<uint8_t>().swap(reply_);
  signaturesAwaited_ = 0;
  firstNotificationAwaited_ = false;
}

void StatusCmdProc::notify(uint64_t event, const void* data, uint64_t length) {
  if (callback_) callback_(this, event, data, length);
}

bool StatusCmdProc::request(const uint8_t* message, size_t length, Asked asked) {
  plat::LockGuard lock(channelMutex());
  TrIfTranClient* client = usableClient();
  if (!client) return false;
  auto chunk = std::make_shared<TrIfTranPayload>();
  chunk->length = uint16_t(length);
  chunk->last = 1;
  std::memcpy(chunk->data, message, length);
  client->deliver(std::move(chunk));
  if (asked == Asked::kSignature)
    ++signaturesAwaited_;
  else
    firstNotificationAwaited_ = true;
  armDeadline(kReplyWaitMs);
  return true;
}

bool StatusCmdProc::requestSignature() {
  const uint8_t message[] = {wire::kReqSignature};
  return request(message, sizeof message, Asked::kSignature);
}

bool StatusCmdProc::requestNotifications() {
  const uint8_t message[] = {wire::kReqNotifications, wire::kNotifyAll};
  return request(message, sizeof message, Asked::kNotifications);
}

bool StatusCmdProc::deliver(std::shared_ptr<TrIfTranPayload> chunk) {
  plat::LockGuard lock(channelMutex());
  bool ok =
      chunk && chunk->length <= kChunkData && reply_.size() + chunk->length <= wire::kMaxMessage;
  if (ok) {
    reply_.insert(reply_.end(), chunk->data, chunk->data + chunk->length);
    // Only what was asked for is supervised.
    if (awaiting()) armDeadline(kReplyWaitMs);
    if (!chunk->last) return true;
    ok = dispatch();
  }
  if (!ok) {
    markBroken();  // the handler reconnects; the pipe ends now
    return false;
  }
  if (reply_.capacity() > kReplyBuffer) {
    std::vector<uint8_t>().swap(reply_);
    reply_.reserve(kReplyBuffer);
  } else {
    reply_.clear();
  }
  if (!awaiting()) disarmDeadline();
  return true;
}

bool StatusCmdProc::dispatch() {
  base::ByteReader in(reply_);
  const uint8_t code = in.u8();
  if (in.failed()) return false;  // an empty message
  const uint8_t* data = reply_.data() + 1;
  const size_t size = in.remaining();
  switch (code) {
    case wire::kSignature: {
      if (size != wire::kSignatureSize) return false;
      if (signaturesAwaited_ > 0) --signaturesAwaited_;
      uint8_t signature[wire::kSignatureSize];
      in.bytes(signature, sizeof signature);
      notify(PROT_STATUS_EVENT_SIGNATURE, signature, sizeof signature);
      return true;
    }
    case wire::kPowerStates: {
      if (size % 2 != 0 || size > wire::kMaxPowerStateBytes) return false;
      std::vector<uint16_t> values(size / 2);
      for (uint16_t& v : values) v = in.u16();
      firstNotificationAwaited_ = false;
      ProtStatusList list{uint16_t(values.size()), {}, values.data()};
      notify(PROT_STATUS_EVENT_POWER, &list, sizeof list);
      return true;
    }
    case wire::kEvents: {
      if (size > wire::kMaxEventMaskBytes) return false;
      std::vector<uint16_t> events;
      for (size_t i = 0; i < size; ++i)
        for (unsigned j = 0; j < 8; ++j)
          if (data[i] >> j & 1u) events.push_back(uint16_t(i * 8 + j));
      if (events.size() > wire::kMaxEventCount) return false;
      firstNotificationAwaited_ = false;
      ProtStatusList list{uint16_t(events.size()), {}, events.data()};
      notify(PROT_STATUS_EVENT_EVENTS, &list, sizeof list);
      return true;
    }
    case wire::kStatusText: {
      std::vector<char> text(data, data + size);
      text.push_back('\0');
      firstNotificationAwaited_ = false;
      ProtStatusText record{text.data()};
      notify(PROT_STATUS_EVENT_TEXT, &record, sizeof record);
      return true;
    }
    default:
      return false;
  }
}
