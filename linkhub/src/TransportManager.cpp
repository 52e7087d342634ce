#include "linkhub/TransportManager.h"

#include <algorithm>
#include <iostream>
#include <set>

#include "linkhub/MediaLoader.h"
#include "linkhub/ServerUi.h"
#include "plat/errors.h"
#include "plat/trace.h"

using translayer::HwId;
using translayer::TrIfTranRemote;

namespace linkhub {

namespace {

constexpr size_t kMediaInfoChars = 256;  // 512 bytes

// The process-wide manager for the user interface.
plat::Mutex gInstanceMutex;
TransportManager* gInstance GUARDED_BY(gInstanceMutex) = nullptr;

// Managers whose thread runs, for mediaEventCallback. Taken by the media's
// discovery thread before a manager's stop mutex and queue lock.
plat::Mutex gRunningMutex;
std::vector<TransportManager*> gRunning GUARDED_BY(gRunningMutex);

void registerRunning(TransportManager* m) {
  plat::LockGuard lock(gRunningMutex);
  gRunning.push_back(m);
}

void unregisterRunning(TransportManager* m) {
  plat::LockGuard lock(gRunningMutex);
  gRunning.erase(std::remove(gRunning.begin(), gRunning.end(), m), gRunning.end());
}

}  // namespace

TransportManager::TransportManager() : ThreadBase("TransportManager") {
  plat::LockGuard lock(gInstanceMutex);
  if (!gInstance) gInstance = this;
}

TransportManager::~TransportManager() {
  stop();
  unregisterRunning(this);
  {
    plat::LockGuard lock(gInstanceMutex);
    if (gInstance == this) gInstance = nullptr;
  }
  // A thread that never started leaves nothing to stop; sessions exist only
  // while it runs.
  for (auto& record : media_) unloadMediaLibrary(record.get());
}

TransportManager* TransportManager::instance() {
  plat::LockGuard lock(gInstanceMutex);
  return gInstance;
}

bool TransportManager::loadMedia(const std::string& company, const std::string& application) {
  std::vector<std::string> paths;
  if (int rc = readMediaPaths(mediaRegistryKey(company, application), &paths)) {
    ShowFatalError(uint32_t(rc), "Failed on opening configuration registry");
    return false;
  }
  for (const std::string& path : paths) {
    MediaRecord record;
    std::string why;
    if (!loadMediaLibrary(path, &record, &why)) {
      // The box's text is fixed; the reason goes on the line before it.
      std::cerr << "linkhub: cannot load media library " << path << ": " << why << std::endl;
      ShowFatalError(plat::kErrorFileNotFound, "Failed opening " + path);
      return false;
    }
    VLN_TRACE(kLink, "media library %s loaded", path.c_str());
    media_.push_back(std::make_unique<MediaRecord>(record));
  }
  start();
  return true;
}

void TransportManager::addMedia(const MediaRecord& record) {
  media_.push_back(std::make_unique<MediaRecord>(record));
}

void TransportManager::stop() {
  {
    plat::LockGuard lock(stopMutex_);
    stop_ = true;
  }
  queue_.push(std::make_shared<ManagerEvent>(ManagerEvent{kStop, 0, 0, 0}));
  join();
}

bool TransportManager::stopRequested() const {
  plat::LockGuard lock(stopMutex_);
  return stop_;
}

void TransportManager::push(const ManagerEvent& event) {
  queue_.push(std::make_shared<ManagerEvent>(event));
}

// ---- media events ------------------------------------------------------------

size_t TransportManager::findMedia(const void* context) const {
  for (size_t i = 0; i < media_.size(); ++i)
    if (media_[i].get() == context) return i;
  return media_.size();
}

void TransportManager::mediaEventCallback(void* context, int kind, const uint32_t* indices,
                                          size_t count) {
  if (kind != 1 && kind != 2) return;
  if (count > 0 && !indices) return;
  plat::LockGuard lock(gRunningMutex);
  for (TransportManager* m : gRunning) {
    const size_t media = m->findMedia(context);
    if (media < m->media_.size()) {
      m->pushMediaEvents(media, kind, indices, count);
      return;
    }
  }
  // A context no running manager gave out: dropped.
}

void TransportManager::pushMediaEvents(size_t media, int kind, const uint32_t* indices,
                                       size_t count) {
  if (stopRequested()) return;
  for (size_t i = 0; i < count; ++i)
    push(ManagerEvent{kMediaEvent, uint16_t(kind), media, indices[i]});
}

void TransportManager::noteIdentified(TransportSessionHandler* handler, const HwId& id) {
  {
    plat::LockGuard lock(sessionsMutex_);
    handler->hwid_ = id;
    handler->connected_ = true;
  }
  push(ManagerEvent{kListChanged, 0, 0, 0});
}

// ---- the thread --------------------------------------------------------------

void TransportManager::run() {
  registerRunning(this);
  for (auto& record : media_) {
    record->envCreate(&TransportManager::mediaEventCallback, record.get());
    char16_t info[kMediaInfoChars] = {};
    record->getMediaInfo(info, int(sizeof info));
    if (plat::traceOn(plat::TraceArea::kLink)) {
      std::string text;
      for (size_t i = 0; i < kMediaInfoChars && info[i]; ++i)
        text += info[i] < 0x80 ? char(info[i]) : '?';
      plat::traceLine(plat::TraceArea::kLink, "media started: \"%s\"", text.c_str());
    }
  }
  bool pending = false;  // a list change awaits its quiet period
  for (;;) {
    std::shared_ptr<ManagerEvent> event;
    bool got = true;
    if (pending)
      got = queue_.popFor(event, kListQuietMs);
    else
      queue_.pop(event);
    if (stopRequested()) break;
    if (!got) {
      pending = false;
      notifyListeners();
      continue;
    }
    if (event->kind == kMediaEvent) {
      if (event->subKind == 1) onArrived(event->media, event->index);
      if (event->subKind == 2 && onRemoved(event->media, event->index)) pending = true;
    } else if (event->kind == kListChanged) {
      pending = true;
    } else if (event->kind == kStop) {
      break;
    }
  }
  shutdown();
}

void TransportManager::onArrived(size_t media, uint32_t index) {
  if (media >= media_.size()) return;
  const SessionKey key{media_[media].get(), index};
  auto session = std::make_unique<Session>(this);
  Session* raw = session.get();
  raw->layer.bind(media_[media].get(), index, &raw->handler);
  {
    plat::LockGuard lock(sessionsMutex_);
    // A channel reported twice keeps its first session.
    if (!sessions_.emplace(key, std::move(session)).second) return;
  }
  VLN_TRACE(kLink, "[%u] media channel arrived: its link starts", index);
  // Only this thread removes sessions, so raw stays valid here.
  raw->layer.start();
  raw->layer.waitStarted();
}

bool TransportManager::onRemoved(size_t media, uint32_t index) {
  if (media >= media_.size()) return false;
  std::unique_ptr<Session> session;
  {
    plat::LockGuard lock(sessionsMutex_);
    auto it = sessions_.find(SessionKey{media_[media].get(), index});
    if (it == sessions_.end()) return false;
    session = std::move(it->second);
    sessions_.erase(it);
  }
  VLN_TRACE(kLink, "[%u] media channel removed: its link stops", index);
  // Outside the sessions lock: the layer's thread may be waiting for it to
  // report an identity, and the handler waits for front ends whose closes
  // reach the layer.
  session->layer.stop();
  session.reset();
  return true;
}

void TransportManager::notifyListeners() {
  plat::LockGuard lock(listenersMutex_);
  for (TransportEv* listener : listeners_) listener->onListChanged();
}

void TransportManager::shutdown() {
  SessionMap sessions;
  {
    plat::LockGuard lock(sessionsMutex_);
    sessions.swap(sessions_);
  }
  // All links start stopping at once, then each is waited for. Joined, not
  // stopped again: a second stop request would end a link before the media
  // has sent the reset that tells its device.
  for (auto& entry : sessions) entry.second->layer.requestStop();
  for (auto& entry : sessions) entry.second->layer.join();
  for (auto& record : media_) record->envDestroy();
  unregisterRunning(this);
  sessions.clear();
}

// ---- channels and the device list ---------------------------------------------

uint8_t TransportManager::allocChannel(TrIfTranRemote* frontEnd, const HwId& hwid,
                                       uint8_t protocolId, TrIfTranRemote** slot) {
  *slot = nullptr;
  plat::LockGuard lock(sessionsMutex_);
  for (auto& entry : sessions_) {
    TransportSessionHandler& handler = entry.second->handler;
    if (!handler.connected_ || !(handler.hwid_ == hwid)) continue;
    *slot = handler.attach(frontEnd, protocolId);
    return *slot ? kAllocated : kNoFreeChannel;
  }
  return kNoDevice;
}

std::vector<HwId> TransportManager::onlineDevices() const {
  std::set<HwId> ids;
  {
    plat::LockGuard lock(sessionsMutex_);
    for (const auto& entry : sessions_)
      if (entry.second->handler.connected_) ids.insert(entry.second->handler.hwid_);
  }
  return std::vector<HwId>(ids.begin(), ids.end());
}

uint16_t TransportManager::reportOnlineDevices(
    const std::function<uint32_t(const HwId*, size_t)>& callback) const {
  const std::vector<HwId> ids = onlineDevices();
  return callback(ids.data(), ids.size()) == 0 ? 0 : 4;
}

void TransportManager::enumerateDevices(TransportEv* visitor) const {
  for (const HwId& id : onlineDevices()) visitor->onDeviceListed(&id);
}

void TransportManager::addListener(TransportEv* listener) {
  plat::LockGuard lock(listenersMutex_);
  listeners_.insert(listener);
}

void TransportManager::removeListener(TransportEv* listener) {
  plat::LockGuard lock(listenersMutex_);
  listeners_.erase(listener);
}

size_t TransportManager::sessionCount() const {
  plat::LockGuard lock(sessionsMutex_);
  return sessions_.size();
}

TransportSessionHandler* TransportManager::findHandler(const HwId& hwid) const {
  plat::LockGuard lock(sessionsMutex_);
  for (const auto& entry : sessions_)
    if (entry.second->handler.hwid_ == hwid) return &entry.second->handler;
  return nullptr;
}

}  // namespace linkhub
