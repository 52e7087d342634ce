// What scopeproto exports: its flat API over the channel handler.
#include <cstring>

#include "DigScopeCmdProc.h"
#include "base/ByteReader.h"
#include "clientcommon/Assert.h"
#include "scopeproto/scopeproto.h"
#include "svcwire/ScopeWire.h"

using translayer::HwId;
using translayer::MessageWriter;

namespace wire = svcwire::scope;

namespace {

constexpr const char* kAssertFile = "scopeproto";
constexpr ScopeResult kBroken = wire::kBrokenLink;

// One request on a live handle: false when the handle is not one, or no
// reply came. Asserts "ch" and "handle".
bool transact(ProtDigScopeHandle handle, const MessageWriter& message,
              DigScopeCmdProc::Reply* reply) {
  chanhandler::Use use(static_cast<chanhandler::CmdProcBase*>(handle));
  VLN_CLIENT_ASSERT(handle, clientcommon::kAssertHandle, kAssertFile);
  if (!use) return false;
  return static_cast<DigScopeCmdProc*>(use.get())->transact(message, reply);
}

// A reply of exactly the code and one status byte.
ScopeResult statusRequest(ProtDigScopeHandle handle, const MessageWriter& message) {
  DigScopeCmdProc::Reply reply;
  if (!transact(handle, message, &reply)) return kBroken;
  if (reply.code != uint8_t(message.data()[0] + 1) || reply.body.size() != 1) return kBroken;
  return reply.body[0];
}

// Lists and raw replies: the status the dispatcher read, when the reply
// answers this request.
ScopeResult contentRequest(ProtDigScopeHandle handle, const MessageWriter& message) {
  return statusRequest(handle, message);
}

MessageWriter& start(MessageWriter& w, uint8_t code) {
  w.putU8(code);
  return w;
}

ScopeResult channelRequest(ProtDigScopeHandle handle, uint8_t code, int index, float period) {
  MessageWriter w;
  start(w, code).putU16(uint16_t(index));
  w.putFloat(period);
  return contentRequest(handle, w);
}

ScopeResult triggerRequest(ProtDigScopeHandle handle, uint8_t code, int index, int kind,
                           const char* threshold, size_t length) {
  if (!threshold && length) return kBroken;
  MessageWriter w;
  start(w, code).putU16(uint16_t(index));
  w.putU8(uint8_t(kind));
  if (length) w.putBytes(threshold, length);
  return statusRequest(handle, w);
}

}  // namespace

extern "C" {

SCOPEPROTO_API ProtDigScopeHandle ProtDigScopeRegister(const uint8_t* hwid, size_t hwidsz,
                                                       ProtDigScopeCallback callback) {
  return static_cast<DigScopeCmdProc*>(chanhandler::registerDevice(
      hwid, hwidsz, [callback](const HwId& id) { return new DigScopeCmdProc(id, callback); }));
}

SCOPEPROTO_API void ProtDigScopeUnRegister(ProtDigScopeHandle handle) {
  chanhandler::unregisterDevice(static_cast<chanhandler::CmdProcBase*>(handle));
}

SCOPEPROTO_API bool ProtDigScopeGetSignature(ProtDigScopeHandle handle, uint8_t out[16]) {
  MessageWriter w;
  start(w, wire::kReqSignature);
  DigScopeCmdProc::Reply reply;
  if (!transact(handle, w, &reply)) return false;
  if (reply.code != wire::kSignature || reply.body.size() != wire::kSignatureSize) return false;
  std::memcpy(out, reply.body.data(), wire::kSignatureSize);
  return true;
}

SCOPEPROTO_API ScopeResult ProtDigScopeGetCapabilities(ProtDigScopeHandle handle,
                                                       ProtDigScopeCapabilities* capabilities) {
  MessageWriter w;
  start(w, wire::kReqCapabilities);
  DigScopeCmdProc::Reply reply;
  if (!transact(handle, w, &reply)) return kBroken;
  if (reply.code != wire::kCapabilities) return kBroken;
  // The fields are written from what came, even when its length is wrong.
  base::ByteReader in(reply.body);
  const uint8_t status = in.u8();
  if (capabilities) {
    ProtDigScopeCapabilities c{};
    c.maxChannels = in.u8();
    c.maxTriggers = in.u8();
    c.baseSampleSize = in.u8();
    const uint32_t timeBase = in.u32();
    std::memcpy(&c.timeBase, &timeBase, sizeof timeBase);
    c.bufferSize = in.u32();
    *capabilities = c;
  }
  if (reply.body.size() != 1 + wire::kCapabilityFields) return kBroken;
  return status;
}

SCOPEPROTO_API ScopeResult ProtDigScopeAddChannel(ProtDigScopeHandle handle, int parameterIndex,
                                                  float samplePeriod) {
  return channelRequest(handle, wire::kReqAddChannel, parameterIndex, samplePeriod);
}

SCOPEPROTO_API ScopeResult ProtDigScopeModifyChannel(ProtDigScopeHandle handle, int parameterIndex,
                                                     float samplePeriod) {
  return channelRequest(handle, wire::kReqModifyChannel, parameterIndex, samplePeriod);
}

SCOPEPROTO_API ScopeResult ProtDigScopeRemoveChannel(ProtDigScopeHandle handle,
                                                     int parameterIndex) {
  MessageWriter w;
  start(w, wire::kReqRemoveChannel).putU16(uint16_t(parameterIndex));
  return contentRequest(handle, w);
}

SCOPEPROTO_API ScopeResult ProtDigScopeAddTrigger(ProtDigScopeHandle handle, int parameterIndex,
                                                  int kind, const char* threshold, size_t length) {
  return triggerRequest(handle, wire::kReqAddTrigger, parameterIndex, kind, threshold, length);
}

SCOPEPROTO_API ScopeResult ProtDigScopeModifyTrigger(ProtDigScopeHandle handle, int parameterIndex,
                                                     int kind, const char* threshold,
                                                     size_t length) {
  return triggerRequest(handle, wire::kReqModifyTrigger, parameterIndex, kind, threshold, length);
}

SCOPEPROTO_API ScopeResult ProtDigScopeRemoveTrigger(ProtDigScopeHandle handle, int triggerIndex) {
  MessageWriter w;
  start(w, wire::kReqRemoveTrigger).putU16(uint16_t(triggerIndex));
  return statusRequest(handle, w);
}

SCOPEPROTO_API ScopeResult ProtDigScopeSetParameters(ProtDigScopeHandle handle, int mode,
                                                     float captureTime, float preTriggerTime) {
  MessageWriter w;
  start(w, wire::kReqSetParameters).putU8(uint8_t(mode));
  w.putFloat(captureTime);
  w.putFloat(preTriggerTime);
  return statusRequest(handle, w);
}

SCOPEPROTO_API ScopeResult ProtDigScopeArm(ProtDigScopeHandle handle) {
  MessageWriter w;
  return statusRequest(handle, start(w, wire::kReqArm));
}

SCOPEPROTO_API ScopeResult ProtDigScopeCancel(ProtDigScopeHandle handle) {
  MessageWriter w;
  return statusRequest(handle, start(w, wire::kReqCancel));
}

SCOPEPROTO_API ScopeResult ProtDigScopeReqRawConfiguration(ProtDigScopeHandle handle) {
  MessageWriter w;
  return contentRequest(handle, start(w, wire::kReqRawConfiguration));
}

SCOPEPROTO_API ScopeResult ProtDigScopeReqRawData(ProtDigScopeHandle handle) {
  MessageWriter w;
  return contentRequest(handle, start(w, wire::kReqRawData));
}

}  // extern "C"
