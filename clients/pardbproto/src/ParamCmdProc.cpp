#include "ParamCmdProc.h"

#include <cstring>
#include <mutex>

#include "ParDbReply.h"
#include "svcwire/ParDbWire.h"

using translayer::kChunkData;
using translayer::TrIfTranClient;
using translayer::TrIfTranPayload;

namespace wire = svcwire::pardb;

namespace {

std::shared_ptr<TrIfTranPayload> chunkOf(const uint8_t* bytes, size_t length, bool last) {
  auto chunk = std::make_shared<TrIfTranPayload>();
  chunk->length = uint16_t(length);
  chunk->last = last ? 1 : 0;
  if (length) std::memcpy(chunk->data, bytes, length);
  return chunk;
}

}  // namespace

void ParamCmdProc::setUpChannel() {
  expected_.clear();
  std::vector<uint8_t>().swap(reply_);
  reply_.reserve(kReplyBuffer);
}

void ParamCmdProc::tearDownChannel() {
  expected_.clear();
  std::vector<uint8_t>().swap(reply_);
}

void ParamCmdProc::notify(uint64_t event, const void* data, uint64_t length) {
  if (callback_) callback_(this, event, data, length);
}

void ParamCmdProc::emptyReply() {
  if (reply_.capacity() > kReplyBuffer) {
    std::vector<uint8_t>().swap(reply_);
    reply_.reserve(kReplyBuffer);
  } else {
    reply_.clear();
  }
}

bool ParamCmdProc::send(std::vector<std::shared_ptr<TrIfTranPayload>> chunks, Expected expected) {
  plat::LockGuard lock(channelMutex());
  TrIfTranClient* client = usableClient();
  if (!client) return false;
  for (auto& chunk : chunks) client->deliver(std::move(chunk));
  armDeadline(kReplyWaitMs);
  expected_.push_back(expected);
  return true;
}

bool ParamCmdProc::requestSignature() {
  const uint8_t message[] = {wire::kReqSignature};
  return send({chunkOf(message, sizeof message, true)}, {wire::kSignature, 0});
}

bool ParamCmdProc::requestStore() {
  // One entry: progress replies keep it, the final reply takes it.
  const uint8_t message[] = {wire::kReqStore};
  return send({chunkOf(message, sizeof message, true)}, {wire::kStore, 0});
}

bool ParamCmdProc::requestRead(uint16_t index) {
  const uint8_t message[] = {wire::kReqRead, uint8_t(index), uint8_t(index >> 8)};
  return send({chunkOf(message, sizeof message, true)}, {wire::kRead, index});
}

bool ParamCmdProc::requestWrite(uint16_t index, const uint8_t* data, size_t length) {
  // Nothing to send would still await a reply that never comes.
  if (!data || length == 0) return false;
  std::vector<std::shared_ptr<TrIfTranPayload>> chunks;
  chunks.reserve((length + wire::kSegmentData - 1) / wire::kSegmentData);
  for (size_t at = 0; at < length; at += wire::kSegmentData) {
    const size_t piece = std::min(wire::kSegmentData, length - at);
    auto chunk = std::make_shared<TrIfTranPayload>();
    chunk->data[0] = wire::kReqWrite;
    chunk->data[1] = uint8_t(index);
    chunk->data[2] = uint8_t(index >> 8);
    std::memcpy(chunk->data + wire::kHeaderSize, data + at, piece);
    chunk->length = uint16_t(wire::kHeaderSize + piece);
    chunk->last = at + piece == length ? 1 : 0;
    chunks.push_back(std::move(chunk));
  }
  return send(std::move(chunks), {wire::kWrite, index});
}

bool ParamCmdProc::deliver(std::shared_ptr<TrIfTranPayload> chunk) {
  plat::LockGuard lock(channelMutex());
  bool ok = chunk && chunk->length <= kChunkData && !expected_.empty() &&
            reply_.size() + chunk->length <= wire::kMaxMessage;
  if (ok) {
    // The vector grows geometrically; the limit above bounds it.
    reply_.insert(reply_.end(), chunk->data, chunk->data + chunk->length);
    armDeadline(kReplyWaitMs);
    if (!chunk->last) return true;
    ok = dispatch();
  }
  // A refused message must not stay behind for the next channel.
  emptyReply();
  if (!ok) {
    markBroken();  // the handler reconnects; the pipe ends now
    return false;
  }
  return true;
}

bool ParamCmdProc::dispatch() {
  const Expected expected = expected_.front();
  const pardb::Reply reply = pardb::parseReply(expected.code, reply_.data(), reply_.size());
  switch (reply.kind) {
    case pardb::Reply::Kind::kRefused:
      return false;
    case pardb::Reply::Kind::kProgress:
      // Still working: the entry stays and the device has N ms more (at
      // least the usual wait). A fresh deadline, not the later one: an
      // older, longer extension is over.
      disarmDeadline();
      armDeadline(kReplyWaitMs);
      armDeadline(reply.moreMs);
      return true;
    case pardb::Reply::Kind::kResult:
      break;
  }
  expected_.pop_front();
  if (reply.event == PROT_PARDB_EVENT_READ) {
    ProtParDBReadResult result{};
    result.index = expected.index;
    result.data = reply.data;
    result.length = reply.length;
    notify(PROT_PARDB_EVENT_READ, &result, sizeof result);
  } else if (reply.event == PROT_PARDB_EVENT_WRITE) {
    ProtParDBWriteResult result{};
    result.index = expected.index;
    result.result = reply.result;
    notify(PROT_PARDB_EVENT_WRITE, &result, sizeof result);
  } else if (reply.event == PROT_PARDB_EVENT_STORE) {
    notify(PROT_PARDB_EVENT_STORE, &reply.result, sizeof reply.result);
  } else {
    notify(PROT_PARDB_EVENT_SIGNATURE, reply.data, reply.length);
  }
  // The next owed reply gets its own full wait from now; nothing owed,
  // nothing to supervise.
  disarmDeadline();
  if (!expected_.empty()) armDeadline(kReplyWaitMs);
  return true;
}
