// A media plug-in for tests of the connection server before real media
// exist: it hosts emulated devices (devsim) in the server's own process and
// exports the six media entry points, so the server loads and drives it as
// any media library.
//
// Configuration, read at EnvCreate:
//   SIMMEDIA_DEVICES   comma-separated hardware ids of 32 hex digits, one
//                      device each (media channels 1, 2, ... in that order);
//                      entries of another form are skipped with a line on
//                      standard error.
//   SIMMEDIA_CHANNELS  logical channels each device announces, 1-15 (15).
//   SIMMEDIA_CLOSE_TIMEOUT_MS  the channel close time-out the media reports
//                      (5000): how long an unanswered close holds a channel.
// Every device runs the echo service on each protocol id of the system
// (1-5 and 127).
//
// The transmit-request event that ChannelConnect hands out is a real event
// descriptor, as the contract asks; one small thread per connected channel
// passes its sets on to the emulated channel.
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devsim/EchoService.h"
#include "devsim/InProcessMedia.h"
#include "plat/poll.h"
#include "plat/threadsafety.h"
#include "plat/wake.h"
#include "usblink/MediaInterface.h"

using translayer::HwId;

#define SIMMEDIA_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint8_t kServices[] = {1, 2, 3, 4, 5, 127};

// Passes the server's sets of one channel's event on to the emulation.
class TxBridge {
 public:
  explicit TxBridge(uint32_t index) : index_(index) {
    thread_ = std::thread([this] { run(); });
  }
  ~TxBridge() {
    stop_.set();
    thread_.join();
  }
  int event() const { return tx_.handle(); }
  bool valid() const { return tx_.valid() && stop_.valid(); }

 private:
  void run() {
    for (;;) {
      plat::PollItem items[2] = {{tx_.handle(), plat::kPollRead, 0},
                                 {stop_.handle(), plat::kPollRead, 0}};
      if (plat::pollHandles(items, 2, -1) < 0 || items[1].ready) return;
      if (items[0].ready && tx_.consume()) devsim::InProcessMedia::setTransmitEvent(int(index_));
    }
  }

  const uint32_t index_;
  plat::WakeEvent tx_;
  plat::WakeEvent stop_;
  std::thread thread_;
};

plat::Mutex gMutex;
std::unique_ptr<devsim::InProcessMedia> gMedia GUARDED_BY(gMutex);
std::map<uint32_t, std::unique_ptr<TxBridge>> gBridges GUARDED_BY(gMutex);

bool parseHwId(const std::string& text, HwId* id) {
  if (text.size() != 32) return false;
  for (int i = 0; i < 16; ++i) {
    unsigned v = 0;
    for (int k = 0; k < 2; ++k) {
      const char c = text[size_t(2 * i + k)];
      unsigned d;
      if (c >= '0' && c <= '9')
        d = unsigned(c - '0');
      else if (c >= 'a' && c <= 'f')
        d = unsigned(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        d = unsigned(c - 'A' + 10);
      else
        return false;
      v = v * 16 + d;
    }
    id->id[i] = uint8_t(v);
  }
  return true;
}

std::vector<HwId> configuredDevices() {
  std::vector<HwId> ids;
  const char* env = std::getenv("SIMMEDIA_DEVICES");
  if (!env) return ids;
  const std::string list = env;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string item = list.substr(start, end - start);
    HwId id;
    if (parseHwId(item, &id))
      ids.push_back(id);
    else if (!item.empty())
      std::cerr << "simmedia: skipping device id \"" << item << "\"" << std::endl;
    start = end + 1;
  }
  return ids;
}

uint16_t configuredCloseTimeout() {
  const char* env = std::getenv("SIMMEDIA_CLOSE_TIMEOUT_MS");
  if (!env) return 5000;
  const long n = std::strtol(env, nullptr, 10);
  return uint16_t(n < 1 ? 1 : n > 60000 ? 60000 : n);
}

uint8_t configuredChannels() {
  const char* env = std::getenv("SIMMEDIA_CHANNELS");
  if (!env) return 15;
  const long n = std::strtol(env, nullptr, 10);
  return uint8_t(n < 1 ? 1 : n > 15 ? 15 : n);
}

}  // namespace

SIMMEDIA_EXPORT void GetMediaInfo(char16_t* text, int size) {
  devsim::InProcessMedia::getMediaInfo(text, size);
}

SIMMEDIA_EXPORT bool GetChannelInfo(uint32_t index, MediaChannelInfo* info, int size) {
  return devsim::InProcessMedia::getChannelInfo(index, info, size);
}

SIMMEDIA_EXPORT void EnvCreate(MediaEventCallback callback, void* context) {
  {
    plat::LockGuard lock(gMutex);
    if (!gMedia) {
      gMedia = std::make_unique<devsim::InProcessMedia>();
      const uint8_t channels = configuredChannels();
      devsim::MediaChannelOptions options;
      options.closeTimeoutMs = configuredCloseTimeout();
      for (const HwId& id : configuredDevices()) {
        devsim::DeviceConfig config;
        config.hwid = id;
        config.channelCount = channels;
        const uint32_t index = gMedia->addDevice(config, options);
        for (uint8_t service : kServices)
          gMedia->device(index).registerService(service, devsim::EchoService::factory());
      }
    }
  }
  // Reports the devices present, outside the lock: the callback only queues.
  devsim::InProcessMedia::envCreate(callback, context);
}

SIMMEDIA_EXPORT void EnvDestroy() {
  devsim::InProcessMedia::envDestroy();
  std::unique_ptr<devsim::InProcessMedia> media;
  std::map<uint32_t, std::unique_ptr<TxBridge>> bridges;
  {
    plat::LockGuard lock(gMutex);
    media = std::move(gMedia);
    bridges.swap(gBridges);
  }
  bridges.clear();
  media.reset();
}

SIMMEDIA_EXPORT bool ChannelConnect(uint32_t index, ChannelRxCallback rx, ChannelTxCallback tx,
                                    void* context, int* txEvent) {
  plat::LockGuard lock(gMutex);
  int inner = 0;
  if (!gMedia || !devsim::InProcessMedia::channelConnect(index, rx, tx, context, &inner))
    return false;
  auto& bridge = gBridges[index];
  if (!bridge) bridge = std::make_unique<TxBridge>(index);
  if (!bridge->valid()) {
    devsim::InProcessMedia::channelDisconnect(index);
    gBridges.erase(index);
    return false;
  }
  *txEvent = bridge->event();
  return true;
}

SIMMEDIA_EXPORT bool ChannelDisconnect(uint32_t index) {
  std::unique_ptr<TxBridge> bridge;
  bool ok;
  {
    plat::LockGuard lock(gMutex);
    ok = gMedia && devsim::InProcessMedia::channelDisconnect(index);
    auto it = gBridges.find(index);
    if (it != gBridges.end()) {
      bridge = std::move(it->second);
      gBridges.erase(it);
    }
  }
  return ok;
}
