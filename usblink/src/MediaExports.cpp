// The plug-in's exports: thin layers over one MediaLibrary on the default bus.
#include <string>

#include "MediaLibrary.h"
#include "plat/instance.h"
#include "plat/verinfo.h"
#include "usblink/MediaInterface.h"

#define USBLINK_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char* kInstanceMutex = "VLN_ZAMOusblink_instance_mutext";

// Only one process at a time drives the devices: the lock is taken when the
// library is loaded and held until the process ends.
struct LoadState {
  plat::InstanceLock lock;
  bool refused = true;
  LoadState() { refused = lock.acquire(kInstanceMutex) != 0; }
};

LoadState& loadState() {
  static LoadState state;
  return state;
}

__attribute__((constructor)) void takeInstanceLock() { loadState(); }

usblink::MediaLibrary& library() {
  static usblink::MediaLibrary instance(&usblink::makeDefaultBus);
  return instance;
}

}  // namespace

USBLINK_EXPORT bool MediaLoadHook() { return !loadState().refused; }

USBLINK_EXPORT void GetMediaInfo(char16_t* text, int size) {
  if (size != usblink::kMediaInfoBytes) return;
  const void* self = reinterpret_cast<const void*>(&GetMediaInfo);
  usblink::describeMedia(plat::getModuleVersionString(self, "FileDescription"),
                         plat::getModuleVersionString(self, "ProductVersion"), text, size);
}

USBLINK_EXPORT bool GetChannelInfo(uint32_t index, MediaChannelInfo* info, int size) {
  return library().getChannelInfo(index, info, size);
}

USBLINK_EXPORT void EnvCreate(MediaEventCallback callback, void* context) {
  if (loadState().refused) return;
  library().envCreate(callback, context);
}

USBLINK_EXPORT void EnvDestroy() { library().envDestroy(); }

USBLINK_EXPORT bool ChannelConnect(uint32_t index, ChannelRxCallback rx, ChannelTxCallback tx,
                                   void* context, int* txEvent) {
  return library().channelConnect(index, rx, tx, context, txEvent);
}

USBLINK_EXPORT bool ChannelDisconnect(uint32_t index) { return library().channelDisconnect(index); }
