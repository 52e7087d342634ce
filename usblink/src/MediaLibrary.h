// The work behind the six exports, apart from the module's globals so that
// tests can run it on a scripted bus.
//
// envMutex_ guards the one discovery object; every export that reaches it
// holds envMutex_ first (lock order: env, discovery, channel). EnvDestroy
// holds it while the discovery thread and the channels stop, which never
// wait for an export.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "USBEnumeration.h"
#include "UsbBackend.h"
#include "plat/threadsafety.h"
#include "usblink/MediaInterface.h"

namespace usblink {

inline constexpr int kMediaInfoBytes = 512;

// GetMediaInfo's text: description + " (" + version + ")" with its
// terminator, in UTF-16, into the caller's 512 bytes. Nothing unless size is
// 512 or when either part is missing; all 512 bytes zeroed when the text
// does not fit.
void describeMedia(const std::string& description, const std::string& version, char16_t* text,
                   int size);

class MediaLibrary {
 public:
  using BusFactory = std::function<std::unique_ptr<UsbBus>()>;

  explicit MediaLibrary(BusFactory factory);
  ~MediaLibrary();

  // The first call starts discovery and returns once the devices already
  // present have been reported; later calls do nothing.
  void envCreate(MediaEventCallback callback, void* context);
  void envDestroy();
  bool getChannelInfo(uint32_t index, MediaChannelInfo* info, int size);
  bool channelConnect(uint32_t index, ChannelRxCallback rx, ChannelTxCallback tx, void* context,
                      int* txEvent);
  bool channelDisconnect(uint32_t index);

 private:
  const BusFactory factory_;
  plat::Mutex envMutex_;
  std::unique_ptr<USBEnumeration> enumeration_ GUARDED_BY(envMutex_);
};

}  // namespace usblink
