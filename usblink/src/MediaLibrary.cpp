#include "MediaLibrary.h"

#include <cstring>
#include <vector>

namespace usblink {
namespace {

// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::u16string utf16Of(const std::string& s) {
  std::u16string out;
  size_t i = 0;
  while (i < s.size()) {
    const uint8_t b = uint8_t(s[i]);
    uint32_t cp;
    size_t len;
    if (b < 0x80) {
      cp = b;
      len = 1;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F;
      len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F;
      len = 3;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07;
      len = 4;
    } else {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    bool ok = i + len <= s.size();
    for (size_t k = 1; ok && k < len; ++k) {
      const uint8_t c = uint8_t(s[i + k]);
      ok = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr uint32_t kMinOf[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (!ok || cp < kMinOf[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(char16_t(0xD800 + (cp >> 10)));
      out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(char16_t(cp));
    }
    i += len;
  }
  return out;
}

}  // namespace

void describeMedia(const std::string& description, const std::string& version, char16_t* text,
                   int size) {
  if (size != kMediaInfoBytes || text == nullptr) return;
  if (description.empty() || version.empty()) return;  // no version block: left as it was
  const std::u16string full = utf16Of(description + " (" + version + ")");
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
