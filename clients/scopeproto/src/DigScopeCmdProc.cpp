#include "DigScopeCmdProc.h"

#include <cstring>

#include "ScopeReply.h"
#include "base/ByteReader.h"
#include "clientcommon/TestPause.h"
#include "svcwire/ScopeWire.h"

using translayer::kChunkData;
using translayer::MessageWriter;
using translayer::TrIfTranClient;
using translayer::TrIfTranPayload;

namespace wire = svcwire::scope;

namespace {

bool isRaw(uint8_t code) { return code == wire::kRawConfiguration || code == wire::kRawData; }

}  // namespace

void DigScopeCmdProc::notify(uint64_t event, const void* data, uint64_t length) {
  if (callback_) callback_(this, event, data, length);
}

void DigScopeCmdProc::setUpChannel() {
  emptyReader();
  failWaiting();
}

void DigScopeCmdProc::tearDownChannel() {
  emptyReader();
  failWaiting();
}

void DigScopeCmdProc::wakeRequests() { failWaiting(); }

void DigScopeCmdProc::close(bool wait) {
  CmdProcBase::close(wait);
  failWaiting();
}

bool DigScopeCmdProc::requesterWaits() {
  plat::LockGuard lock(replyMutex_);
  return waiting_ && !handed_ && !failed_;
}

void DigScopeCmdProc::handOver(Reply reply) {
  plat::LockGuard lock(replyMutex_);
  reply_ = std::move(reply);
  handed_ = true;
  replyCv_.notify_all();
}

void DigScopeCmdProc::failWaiting() {
  plat::LockGuard lock(replyMutex_);
  if (!waiting_) return;
  failed_ = true;
  replyCv_.notify_all();
}

void DigScopeCmdProc::emptyReader() {
  if (message_.capacity() > kKeptBuffer)
    std::vector<uint8_t>().swap(message_);
  else
    message_.clear();
  progressStarted_ = false;
}

bool DigScopeCmdProc::transact(const MessageWriter& message, Reply* reply) {
  if (message.failed() || message.length() == 0) return false;
  plat::LockGuard request(requestMutex_);
  {
    plat::LockGuard lock(channelMutex());
    TrIfTranClient* client = usableClient();
    if (!client) return false;
    clientcommon::testPause("scopeproto", "request");
    {
      plat::LockGuard slot(replyMutex_);
      waiting_ = true;
      handed_ = false;
      failed_ = false;
    }
    message.send(client);
    armDeadline(kReplyWaitMs);
  }
  plat::UniqueLock slot(replyMutex_);
  replyCv_.wait(slot, [this]() REQUIRES(replyMutex_) { return handed_ || failed_; });
  const bool ok = handed_;
  if (ok) *reply = std::move(reply_);
  reply_ = Reply{};
  waiting_ = false;
  handed_ = false;
  failed_ = false;
  return ok;
}

bool DigScopeCmdProc::refuse() {
  emptyReader();
  markBroken();
  failWaiting();
  return false;
}

void DigScopeCmdProc::progress() {
  const int64_t now = chanhandler::monotonicNs();
  if (progressStarted_ && now < nextProgress_) return;
  progressStarted_ = true;
  // From this report on, not from the last due time: a stalled transfer is
  // not followed by a burst of reports.
  nextProgress_ = now + kProgressIntervalNs;
  base::ByteReader header(message_.data() + 2, 4);
  ProtDigScopeProgress record{uint32_t(message_.size() > UINT32_MAX ? UINT32_MAX : message_.size()),
                              header.u32()};
  notify(PROT_DIGSCOPE_EVENT_PROGRESS, &record, sizeof record);
}

bool DigScopeCmdProc::deliver(std::shared_ptr<TrIfTranPayload> chunk) {
  plat::LockGuard lock(channelMutex());
  if (!chunk || chunk->length > kChunkData || message_.size() + chunk->length > wire::kMaxMessage)
    return refuse();
  message_.insert(message_.end(), chunk->data, chunk->data + chunk->length);
  if (message_.empty()) {
    if (chunk->last) return refuse();  // no code byte
    return true;
  }
  const uint8_t code = message_[0];
  // An unasked status update is no reply: it leaves the deadline alone.
  if (code != wire::kStatusUpdate) {
    // A reply (late, duplicate, or of nobody's request) that no request
    // waits for would have nowhere to go.
    if (!requesterWaits()) return refuse();
    armDeadline(kReplyWaitMs);
  }
  if (!chunk->last) {
    if (isRaw(code)) {
      // Only a raw reply with its size ahead is long; a shorter one comes whole.
      if (message_.size() < wire::kRawHeader) return refuse();
      if (message_[1] == wire::kNoError) progress();
    }
    return true;
  }
  bool handedOver = false;
  if (!dispatch(&handedOver)) return refuse();
  emptyReader();
  if (handedOver) disarmDeadline();
  return true;
}

bool DigScopeCmdProc::dispatch(bool* handedOver) {
  scopereply::Parsed& parsed = parsed_;
  if (!scopereply::parse(message_.data(), message_.size(), &parsed)) return false;
  using Kind = scopereply::Parsed::Kind;
  switch (parsed.kind) {
    case Kind::kDirect:
      handOver(Reply{parsed.code, std::vector<uint8_t>(message_.begin() + 1, message_.end())});
      *handedOver = true;
      return true;
    case Kind::kStatusUpdate:
      notify(PROT_DIGSCOPE_EVENT_STATUS, &parsed.update, sizeof parsed.update);
      return true;
    case Kind::kChannelList:
      handOver(Reply{parsed.code, {parsed.status}});
      *handedOver = true;
      notify(PROT_DIGSCOPE_EVENT_CHANNELS, &parsed.list, sizeof parsed.list);
      return true;
    case Kind::kRaw:
      handOver(Reply{parsed.code, {parsed.status}});
      *handedOver = true;
      notify(PROT_DIGSCOPE_EVENT_RAW, &parsed.raw, sizeof parsed.raw);
      return true;
  }
  return false;
}
