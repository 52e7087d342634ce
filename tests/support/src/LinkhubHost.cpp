#include "testsupport/LinkhubHost.h"

#include <algorithm>
#include <chrono>

#include "devsim/InProcessMedia.h"
#include "devsim/InProcessMediaRecord.h"
#include "linkhub/MediaLibrary.h"
#include "linkhub/TrIfServer.h"
#include "linkhub/TransportManager.h"

using linkhub::TransportManager;
using linkhub::TrIfServer;

using translayer::HwId;

namespace devmgr_test {

namespace {

// Generous: the tests never depend on the machine's speed.
constexpr auto kOnlineWait = std::chrono::seconds(20);
// How long a reset device stays away.
constexpr auto kResetOff = std::chrono::milliseconds(200);

}  // namespace

LinkhubHost::LinkhubHost() : media_(std::make_unique<devsim::InProcessMedia>()) {
  worker_ = std::thread([this] { runWorker(); });
}

LinkhubHost::~LinkhubHost() {
  {
    plat::LockGuard lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  worker_.join();
  server_.reset();
  manager_.reset();
  media_.reset();
}

bool LinkhubHost::start() {
  manager_ = std::make_unique<TransportManager>();
  manager_->addMedia(devsim::inProcessMediaRecord());
  manager_->start();
  server_ = std::make_unique<TrIfServer>(manager_.get(), nullptr);
  return server_->start();
}

void LinkhubHost::attach(const HwId& hwid, const devsim::DeviceServices& services) {
  devsim::DeviceConfig config;
  config.hwid = hwid;
  const uint32_t index = media_->addDevice(config);
  Attached attached{index, services};
  devsim::registerServices(media_->device(index), attached.services, config.maxFrameLength);
  devices_[hwid] = attached;
}

bool LinkhubHost::addDevice(const HwId& hwid, std::shared_ptr<devsim::CoreState> core) {
  devsim::DeviceServices services;
  services.core = std::move(core);
  return addDevice(hwid, std::move(services));
}

bool LinkhubHost::addDevice(const HwId& hwid, devsim::DeviceServices services) {
  if (!services.core) services.core = std::make_shared<devsim::CoreState>();
  // The device's own thread asks for the replug; the worker does it.
  services.core->setResetHook([this, hwid] { replugLater(hwid); });
  {
    plat::LockGuard lock(mutex_);
    attach(hwid, services);
  }
  return waitOnline(hwid, true);
}

void LinkhubHost::removeDevice(const HwId& hwid) {
  uint32_t index = 0;
  {
    plat::LockGuard lock(mutex_);
    auto it = devices_.find(hwid);
    if (it == devices_.end()) return;
    index = it->second.index;
    devices_.erase(it);
  }
  media_->removeDevice(index);
}

bool LinkhubHost::waitOnline(const HwId& hwid, bool online) const {
  const auto deadline = std::chrono::steady_clock::now() + kOnlineWait;
  while (true) {
    const auto ids = onlineDevices();
    if ((std::find(ids.begin(), ids.end(), hwid) != ids.end()) == online) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::vector<HwId> LinkhubHost::onlineDevices() const {
  return manager_ ? manager_->onlineDevices() : std::vector<HwId>{};
}

size_t LinkhubHost::replugs() const {
  plat::LockGuard lock(mutex_);
  return replugs_;
}

void LinkhubHost::replugLater(const HwId& hwid) {
  {
    plat::LockGuard lock(mutex_);
    replugQueue_.push_back(hwid);
  }
  cv_.notify_all();
}

void LinkhubHost::runWorker() {
  plat::UniqueLock lock(mutex_);
  while (true) {
    cv_.wait(lock, [this]() REQUIRES(mutex_) { return stopping_ || !replugQueue_.empty(); });
    if (stopping_) return;
    const HwId hwid = replugQueue_.front();
    replugQueue_.pop_front();
    auto it = devices_.find(hwid);
    if (it == devices_.end()) continue;
    const Attached attached = it->second;
    lock.unlock();
    media_->removeDevice(attached.index);
    std::this_thread::sleep_for(kResetOff);
    lock.lock();
    if (stopping_) return;
    if (devices_.count(hwid)) {
      attach(hwid, attached.services);
      ++replugs_;
    }
  }
}

}  // namespace devmgr_test
