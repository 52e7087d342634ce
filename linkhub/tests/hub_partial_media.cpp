// Media libraries that the server must refuse: built once without
// EnvDestroy, once complete but with a load hook that refuses the load
// (HUB_REFUSE_LOAD), and once complete but needing a function nothing
// defines, so that the loader itself refuses it (HUB_UNRESOLVED).
#include "usblink/MediaInterface.h"

#define HUB_EXPORT extern "C" __attribute__((visibility("default")))

HUB_EXPORT void GetMediaInfo(char16_t*, int) {}
HUB_EXPORT bool GetChannelInfo(uint32_t, MediaChannelInfo*, int) { return false; }
HUB_EXPORT void EnvCreate(MediaEventCallback, void*) {}
HUB_EXPORT bool ChannelConnect(uint32_t, ChannelRxCallback, ChannelTxCallback, void*, int*) {
  return false;
}
HUB_EXPORT bool ChannelDisconnect(uint32_t) { return false; }

#ifdef HUB_REFUSE_LOAD
HUB_EXPORT void EnvDestroy() {}
HUB_EXPORT bool MediaLoadHook() { return false; }
#endif

#ifdef HUB_UNRESOLVED
extern "C" void hub_media_nowhere_defined();
HUB_EXPORT void EnvDestroy() { hub_media_nowhere_defined(); }
#endif
