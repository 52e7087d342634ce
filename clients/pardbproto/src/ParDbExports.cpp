// What pardbproto exports: its flat API over the channel handler.
#include "ParamCmdProc.h"
#include "pardbproto/pardbproto.h"

using translayer::HwId;

namespace {

ParamCmdProc* proc(const chanhandler::Use& use) { return static_cast<ParamCmdProc*>(use.get()); }

}  // namespace

extern "C" {

PARDBPROTO_API ProtParDBHandle ProtParDBRegister(const uint8_t* hwid, size_t hwidsz,
                                                 ProtParDBCallback callback) {
  return static_cast<ParamCmdProc*>(chanhandler::registerDevice(
      hwid, hwidsz, [callback](const HwId& id) { return new ParamCmdProc(id, callback); }));
}

PARDBPROTO_API void ProtParDBUnRegister(ProtParDBHandle handle) {
  chanhandler::unregisterDevice(static_cast<chanhandler::CmdProcBase*>(handle));
}

PARDBPROTO_API bool ProtParDBReqSignature(ProtParDBHandle handle) {
  chanhandler::Use use(static_cast<chanhandler::CmdProcBase*>(handle));
  return use && proc(use)->requestSignature();
}

PARDBPROTO_API bool ProtParDBReqStore(ProtParDBHandle handle) {
  chanhandler::Use use(static_cast<chanhandler::CmdProcBase*>(handle));
  return use && proc(use)->requestStore();
}

PARDBPROTO_API bool ProtParDBReqRead(ProtParDBHandle handle, int index) {
  chanhandler::Use use(static_cast<chanhandler::CmdProcBase*>(handle));
  return use && proc(use)->requestRead(uint16_t(index));
}

PARDBPROTO_API bool ProtParDBReqWrite(ProtParDBHandle handle, int index, const void* data,
                                      size_t length) {
  chanhandler::Use use(static_cast<chanhandler::CmdProcBase*>(handle));
  return use && proc(use)->requestWrite(uint16_t(index), static_cast<const uint8_t*>(data), length);
}

}  // extern "C"
