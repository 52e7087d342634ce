#include "devmgr/devmgr.h"
#include "linkhub/ui/DeviceListLogic.h"

using translayer::HwId;

namespace hubui {

namespace {

// One connection per call: a device that left between calls costs nothing.
template <typename F>
bool withDevice(const HwId& id, F call) {
  DevmgrHandle h = DevmgrConnect(id.id, sizeof id.id);
  if (!h) return false;
  const bool ok = call(h);
  DevmgrDisconnect(h);
  return ok;
}

}  // namespace

bool DevmgrDeviceAccess::readName(const HwId& id, uint8_t (&buffer)[kMaxReadBytes]) {
  return withDevice(id, [&](DevmgrHandle h) { return DevmgrGetFriendlyName(h, buffer); });
}

bool DevmgrDeviceAccess::storeName(const HwId& id, const std::string& name) {
  return withDevice(id, [&](DevmgrHandle h) { return DevmgrSetFriendlyName(h, name.c_str()); });
}

bool DevmgrDeviceAccess::identify(const HwId& id, int durationMs) {
  return withDevice(id, [&](DevmgrHandle h) { return DevmgrVisualIdentification(h, durationMs); });
}

bool DevmgrDeviceAccess::reset(const HwId& id) {
  return withDevice(id, [&](DevmgrHandle h) { return DevmgrImmediateReset(h); });
}

}  // namespace hubui
