// What statproto exports: its flat API over the channel handler.
#include "StatusCmdProc.h"
#include "statproto/statproto.h"

using translayer::HwId;

namespace {

StatusCmdProc* proc(const chanhandler::Use& use) { return static_cast<StatusCmdProc*>(use.get()); }

}  // namespace

extern "C" {

STATPROTO_API ProtStatusHandle ProtStatusRegister(const uint8_t* hwid, size_t hwidsz,
                                                  ProtStatusCallback callback) {
  return static_cast<StatusCmdProc*>(chanhandler::registerDevice(
      hwid, hwidsz, [callback](const HwId& id) { return new StatusCmdProc(id, callback); }));
}

STATPROTO_API void ProtStatusUnRegister(ProtStatusHandle handle) {
  chanhandler::unregisterDevice(static_cast<chanhandler::CmdProcBase*>(handle));
}

STATPROTO_API bool ProtStatusReqSignature(ProtStatusHandle handle) {
  chanhandler::Use use(static_cast<chanhandler::CmdProcBase*>(handle));
  return use && proc(use)->requestSignature();
}

STATPROTO_API bool ProtStatusReqNotifications(ProtStatusHandle handle) {
  chanhandler::Use use(static_cast<chanhandler::CmdProcBase*>(handle));
  return use && proc(use)->requestNotifications();
}

}  // extern "C"
