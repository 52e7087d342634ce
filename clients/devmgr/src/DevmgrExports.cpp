// What devmgr exports: its flat API over CoreCmdProc, and the registry of
// live handles.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "CoreCmdProc.h"
#include "base/ByteReader.h"
#include "clientcommon/Assert.h"
#include "devmgr/devmgr.h"
#include "plat/threadsafety.h"
#include "translayer/ConnectionServerRpc.h"

using translayer::AskUserDeviceSelection;
using translayer::HwId;
using translayer::TrIfTranClient;

namespace {

constexpr size_t kMaxRequestText = 256;

#define DEVMGR_ASSERT(condition, text) VLN_CLIENT_ASSERT(condition, text, "devmgr")

// Every live handle, keyed by the pointer the caller holds. A request takes
// its own reference here, so that a disconnect on another thread never frees
// what the request still uses; a handle already disconnected is not found.
class Registry {
 public:
  void insert(const std::shared_ptr<CoreCmdProc>& proc) {
    plat::LockGuard lock(mutex_);
    handles_[proc.get()] = proc;
  }
  std::shared_ptr<CoreCmdProc> find(CoreCmdProc* handle) {
    plat::LockGuard lock(mutex_);
    auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : it->second;
  }
  std::shared_ptr<CoreCmdProc> take(CoreCmdProc* handle) {
    plat::LockGuard lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) return nullptr;
    auto proc = std::move(it->second);
    handles_.erase(it);
    return proc;
  }
  // Unload: every handle still open is closed.
  void takeAll(std::vector<std::shared_ptr<CoreCmdProc>>* out) {
    plat::LockGuard lock(mutex_);
    for (auto& entry : handles_) out->push_back(std::move(entry.second));
    handles_.clear();
  }

 private:
  plat::Mutex mutex_;
  std::map<CoreCmdProc*, std::shared_ptr<CoreCmdProc>> handles_ GUARDED_BY(mutex_);
};

// Never destroyed: a call may come from another thread while the process ends.
Registry& registry() {
  static Registry* instance = new Registry;
  return *instance;
}

// Closes what the caller left open when the library is unloaded (or the
// process ends). Pipe threads are still alive then; each is stopped and
// joined.
struct Unloader {
  ~Unloader() {
    std::vector<std::shared_ptr<CoreCmdProc>> open;
    registry().takeAll(&open);
    for (auto& proc : open) proc->shutdown();
  }
} unloader;

std::shared_ptr<CoreCmdProc> use(DevmgrHandle handle) {
  DEVMGR_ASSERT(handle, clientcommon::kAssertHandle);
  return registry().find(handle);
}

bool query(DevmgrHandle handle, uint8_t request, void* buffer, size_t size,
           CoreCmdProc::SizeRule rule) {
  auto proc = use(handle);
  return proc && proc->query(request, buffer, size, rule);
}

void appendText(std::vector<uint8_t>* request, const char* text) {
  request->insert(request->end(), text, text + strnlen(text, kMaxRequestText));
}

constexpr auto kExact = CoreCmdProc::SizeRule::kExact;
constexpr auto kAtMost = CoreCmdProc::SizeRule::kAtMost;

}  // namespace

extern "C" {

DEVMGR_API DevmgrHandle DevmgrConnect(const uint8_t* hwid, size_t hwidsz) {
  if (hwidsz != sizeof(HwId::id) || !hwid) return nullptr;
  HwId id;
  std::memcpy(id.id, hwid, sizeof id.id);
  auto proc = std::make_shared<CoreCmdProc>(id);
  if (!proc->connect()) return nullptr;
  registry().insert(proc);
  return proc.get();
}

DEVMGR_API void DevmgrDisconnect(DevmgrHandle handle) {
  DEVMGR_ASSERT(handle, clientcommon::kAssertHandle);
  auto proc = registry().take(handle);
  if (!proc) return;
  // Wakes and waits out a request another thread is making; that thread
  // still holds its reference and frees the object when it leaves.
  proc->shutdown();
}

DEVMGR_API bool DevmgrGetOnlineDevices(uint8_t (*ids)[DEVMGR_HWID_SIZE], size_t* count) {
  if (!count || (*count > 0 && !ids)) return false;
  TrIfTranClient client(base::kProtocolCore);
  if (client.bind() != 0) return false;
  uint32_t exception = 0;
  if (client.getOnlineDevices(&exception) != 0) return false;
  const std::vector<HwId> list = client.deviceList();
  size_t stored = 0;
  for (; stored < list.size() && stored < *count; ++stored)
    std::memcpy(ids[stored], list[stored].id, DEVMGR_HWID_SIZE);
  *count = stored;
  return true;
}

DEVMGR_API bool DevmgrAskUserDeviceSelection(uint8_t* hwid, size_t hwidsz) {
  DEVMGR_ASSERT(hwidsz == sizeof(HwId::id), clientcommon::kAssertHwidSize);
  if (!hwid) return false;
  HwId id;
  std::memcpy(id.id, hwid, sizeof id.id);
  TrIfTranClient client(base::kProtocolCore);
  if (client.bind() != 0) return false;
  uint32_t exception = 0;
  // No foreground window to own the chooser here.
  const int result = AskUserDeviceSelection(*client.binding(), &id, 0, &exception);
  std::memcpy(hwid, id.id, sizeof id.id);
  return result == 0;
}

DEVMGR_API bool DevmgrGetFwVersion(DevmgrHandle h, void* b) { return query(h, 4, b, 4, kExact); }
DEVMGR_API bool DevmgrGetFwPlatform(DevmgrHandle h, void* b) {
  return query(h, 6, b, 256, kAtMost);
}
DEVMGR_API bool DevmgrGetFwSignature(DevmgrHandle h, void* b) {
  return query(h, 8, b, 16, kAtMost);
}
DEVMGR_API bool DevmgrGetFwTarget(DevmgrHandle h, void* b) { return query(h, 16, b, 256, kAtMost); }
DEVMGR_API bool DevmgrGetFwSubTarget(DevmgrHandle h, void* b) {
  return query(h, 18, b, 256, kAtMost);
}
DEVMGR_API bool DevmgrGetFwVersionString(DevmgrHandle h, void* b) {
  return query(h, 20, b, 256, kAtMost);
}
DEVMGR_API bool DevmgrGetFriendlyName(DevmgrHandle h, void* b) {
  return query(h, 26, b, 256, kAtMost);
}
DEVMGR_API bool DevmgrGetFwVerbose(DevmgrHandle h, void* b) {
  return query(h, 30, b, 256, kAtMost);
}
DEVMGR_API bool DevmgrGetRecVersion(DevmgrHandle h, void* b) { return query(h, 48, b, 4, kExact); }
DEVMGR_API bool DevmgrGetAppInfoUUID(DevmgrHandle h, void* b) {
  return query(h, 64, b, 16, kExact);
}
DEVMGR_API bool DevmgrGetAppInfoName(DevmgrHandle h, void* b) {
  return query(h, 66, b, 256, kAtMost);
}
DEVMGR_API bool DevmgrGetAppInfoVersion(DevmgrHandle h, void* b) {
  return query(h, 68, b, 256, kAtMost);
}
DEVMGR_API bool DevmgrGetAppInfoParSignature(DevmgrHandle h, void* b) {
  return query(h, 70, b, 16, kExact);
}
DEVMGR_API bool DevmgrGetAppInfoDefParSignature(DevmgrHandle h, void* b) {
  return query(h, 72, b, 16, kExact);
}
DEVMGR_API bool DevmgrGetDeviceName(DevmgrHandle h, void* b) {
  return query(h, 96, b, 256, kAtMost);
}
DEVMGR_API bool DevmgrGetDeviceSerial(DevmgrHandle h, void* b) {
  return query(h, 98, b, 4, kExact);
}

DEVMGR_API bool DevmgrGetProtocolList(DevmgrHandle handle, ProtocolList* list) {
  auto proc = use(handle);
  if (!proc || !list) return false;
  const uint8_t request = 2;
  return proc->exchange(&request, 1, CoreCmdProc::kQueryWaitMs,
                        [list](const uint8_t* data, size_t length) {
                          return devmgr::takeProtocolList(list, data, length);
                        });
}

DEVMGR_API bool DevmgrRequestCoreFirmwareUpgrade(DevmgrHandle handle, const char* volume,
                                                 const char* filename) {
  auto proc = use(handle);
  if (!proc || !volume || !filename) return false;
  std::vector<uint8_t> request{14};
  appendText(&request, volume);
  request.push_back(0);
  appendText(&request, filename);
  request.push_back(0);
  return proc->exchange(request.data(), request.size(), CoreCmdProc::kCommandWaitMs,
                        devmgr::acceptedFlag);
}

DEVMGR_API bool DevmgrSetFriendlyName(DevmgrHandle handle, const char* name) {
  auto proc = use(handle);
  if (!proc) return false;
  std::vector<uint8_t> request{24};
  if (name) appendText(&request, name);
  return proc->exchange(request.data(), request.size(), CoreCmdProc::kCommandWaitMs,
                        devmgr::acceptedFlag);
}

DEVMGR_API bool DevmgrVisualIdentification(DevmgrHandle handle, int duration) {
  auto proc = use(handle);
  if (!proc) return false;
  // The device takes 16 bits; a longer wish blinks as long as it can.
  const uint16_t ms = uint16_t(duration < 0 ? 0 : duration > 0xFFFF ? 0xFFFF : duration);
  uint8_t request[3] = {32};
  base::storeLittleEndian(request + 1, ms, 2);
  return proc->exchange(request, sizeof request, CoreCmdProc::kQueryWaitMs,
                        [](const uint8_t*, size_t) { return true; });
}

DEVMGR_API bool DevmgrImmediateReset(DevmgrHandle handle) {
  auto proc = use(handle);
  if (!proc) return false;
  const uint8_t request = 80;
  return proc->sendWithoutReply(&request, 1);
}

}  // extern "C"
