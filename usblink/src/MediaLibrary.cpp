#include "MediaLibrary.h"

#include <cstring>
#include <vector>

#include "base/Utf8.h"

namespace usblink {
void describeMedia(const std::string& description, const std::string& version, char16_t* text,
                   int size) {
  if (size != kMediaInfoBytes || text == nullptr) return;
  if (description.empty() || version.empty()) return;  // no version block: left as it was
  const std::u16string full = base::utf8ToUtf16(description + " (" + version + ")");
  if ((full.size() + 1) * sizeof(char16_t) > size_t(kMediaInfoBytes)) {
    std::memset(text, 0, kMediaInfoBytes);
    return;
  }
  std::memcpy(text, full.data(), full.size() * sizeof(char16_t));
  text[full.size()] = 0;
}

MediaLibrary::MediaLibrary(BusFactory factory) : factory_(std::move(factory)) {}

MediaLibrary::~MediaLibrary() { envDestroy(); }

void MediaLibrary::envCreate(MediaEventCallback callback, void* context) {
  plat::LockGuard lock(envMutex_);
  if (enumeration_) return;
  std::unique_ptr<UsbBus> bus = factory_();
  if (!bus) return;
  enumeration_ = std::make_unique<USBEnumeration>(std::move(bus), callback, context);
  enumeration_->start();
  // The caller learns of the devices present before this returns, and an
  // EnvDestroy right after never meets a half-started discovery.
  enumeration_->waitReady();
}

void MediaLibrary::envDestroy() {
  plat::LockGuard lock(envMutex_);
  enumeration_.reset();
}

bool MediaLibrary::getChannelInfo(uint32_t index, MediaChannelInfo* info, int size) {
  if (size != int(sizeof(MediaChannelInfo)) || info == nullptr) return false;
  plat::LockGuard lock(envMutex_);
  return enumeration_ && enumeration_->channelInfo(index, info);
}

bool MediaLibrary::channelConnect(uint32_t index, ChannelRxCallback rx, ChannelTxCallback tx,
                                  void* context, int* txEvent) {
  if (txEvent == nullptr) return false;
  plat::LockGuard lock(envMutex_);
  return enumeration_ && enumeration_->connect(index, rx, tx, context, txEvent);
}

bool MediaLibrary::channelDisconnect(uint32_t index) {
  plat::LockGuard lock(envMutex_);
  return enumeration_ && enumeration_->disconnect(index);
}

}  // namespace usblink
