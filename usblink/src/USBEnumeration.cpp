#include "USBEnumeration.h"

#include <vector>

#include "DevicePath.h"
#include "plat/trace.h"

namespace usblink {

USBEnumeration::USBEnumeration(std::unique_ptr<UsbBus> bus, MediaEventCallback callback,
                               void* context)
    : ThreadBase("usblinkEnum"), bus_(std::move(bus)), callback_(callback), context_(context) {}

USBEnumeration::~USBEnumeration() {
  notices_.push(std::make_shared<Notice>(Notice{Notice::kQuit, {}, 0}));
  join();
  plat::LockGuard lock(discoveryMutex_);
  channels_.clear();
  retired_.clear();
}

void USBEnumeration::deviceArrived(const std::string& path) {
  notices_.push(std::make_shared<Notice>(Notice{Notice::kArrived, upperAscii(path), 0}));
}

void USBEnumeration::deviceRemoved(const std::string& path) {
  notices_.push(std::make_shared<Notice>(Notice{Notice::kRemoved, upperAscii(path), 0}));
}

void USBEnumeration::channelFailed(uint32_t index) {
  notices_.push(std::make_shared<Notice>(Notice{Notice::kFailed, {}, index}));
}

void USBEnumeration::run() {
  bus_->start(this);
  discover();
  ready_.set();
  for (;;) {
    std::shared_ptr<Notice> notice;
    notices_.pop(notice);
    if (notice->kind == Notice::kQuit) break;
    switch (notice->kind) {
      case Notice::kArrived:
        arrive(notice->path);
        break;
      case Notice::kRemoved: {
        uint32_t index = 0;
        {
          plat::LockGuard lock(discoveryMutex_);
          for (auto& [i, channel] : channels_)
            if (channel->path() == notice->path && !removing_.count(i)) index = i;
        }
        if (index != 0) remove(index);
        break;
      }
      case Notice::kFailed:
        remove(notice->index);
        break;
      case Notice::kQuit:
        break;
    }
  }
  stopAll();
  bus_->stop();
}

void USBEnumeration::discover() {
  std::vector<std::unique_ptr<USBChannel>> fresh;
  for (const std::string& found : bus_->presentDevices()) {
    const std::string path = upperAscii(found);
    bool seen = false;
    for (auto& channel : fresh) seen = seen || channel->path() == path;
    if (seen) continue;
    fresh.push_back(std::make_unique<USBChannel>(nextIndex_++, path, bus_.get(), owner()));
  }
  if (fresh.empty()) return;
  // Set-ups run side by side; the one report lists them all, in index order.
  for (auto& channel : fresh) channel->start();
  for (auto& channel : fresh) channel->waitStarted();
  std::vector<uint32_t> indices;
  {
    plat::LockGuard lock(discoveryMutex_);
    for (auto& channel : fresh) {
      VLN_TRACE(kUsb, "%s: present at start: channel %u", channel->path().c_str(),
                channel->index());
      indices.push_back(channel->index());
      channels_.emplace(channel->index(), std::move(channel));
    }
  }
  report(kMediaEventArrived, indices.data(), indices.size());
}

bool USBEnumeration::knownPath(const std::string& path) {
  plat::LockGuard lock(discoveryMutex_);
  for (auto& [i, channel] : channels_)
    if (channel->path() == path && !removing_.count(i)) return true;
  return false;
}

void USBEnumeration::arrive(const std::string& path) {
  if (knownPath(path)) return;
  auto channel = std::make_unique<USBChannel>(nextIndex_++, path, bus_.get(), owner());
  const uint32_t index = channel->index();
  VLN_TRACE(kUsb, "%s: arrived: channel %u", path.c_str(), index);
  channel->start();
  channel->waitStarted();
  {
    plat::LockGuard lock(discoveryMutex_);
    channels_.emplace(index, std::move(channel));
  }
  report(kMediaEventArrived, &index, 1);
}

void USBEnumeration::remove(uint32_t index) {
  USBChannel* channel = nullptr;
  {
    plat::LockGuard lock(discoveryMutex_);
    auto it = channels_.find(index);
    if (it == channels_.end() || removing_.count(index)) return;
    channel = it->second.get();
    removing_.insert(index);
  }
  // Only this thread erases from the map, so the pointer stays good.
  VLN_TRACE(kUsb, "%s: removed: channel %u", channel->path().c_str(), index);
  report(kMediaEventRemoved, &index, 1);
  channel->stop();
  plat::LockGuard lock(discoveryMutex_);
  removing_.erase(index);
  auto node = channels_.extract(index);
  if (node.mapped()->connected()) retired_.insert(std::move(node));
}

void USBEnumeration::stopAll() {
  // Only this thread changes the maps, so walking them unlocked is safe, and
  // the exports are not held up while channels drain.
  for (auto& [index, channel] : channels_) channel->stop();
}

void USBEnumeration::report(int kind, const uint32_t* indices, size_t count) {
  if (callback_ && count > 0) callback_(context_, kind, indices, count);
}

bool USBEnumeration::channelInfo(uint32_t index, MediaChannelInfo* info) {
  plat::LockGuard lock(discoveryMutex_);
  auto it = channels_.find(index);
  if (it == channels_.end() || removing_.count(index)) return false;
  it->second->describe(info);
  return true;
}

bool USBEnumeration::connect(uint32_t index, ChannelRxCallback rx, ChannelTxCallback tx,
                             void* context, int* txEvent) {
  plat::LockGuard lock(discoveryMutex_);
  auto it = channels_.find(index);
  if (it == channels_.end() || removing_.count(index)) return false;
  it->second->connect(rx, tx, context, txEvent);
  return true;
}

bool USBEnumeration::disconnect(uint32_t index) {
  plat::LockGuard lock(discoveryMutex_);
  if (auto it = channels_.find(index); it != channels_.end()) {
    it->second->disconnect();
    return true;
  }
  if (auto it = retired_.find(index); it != retired_.end()) {
    retired_.erase(it);
    return true;
  }
  return false;
}

}  // namespace usblink
