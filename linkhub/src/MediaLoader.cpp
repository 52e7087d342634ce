#include "linkhub/MediaLoader.h"

#include <cstring>

#include "plat/dynlib.h"
#include "plat/errors.h"
#include "plat/registry.h"
#include "plat/txevent.h"

namespace linkhub {

namespace {

constexpr uint32_t kNameChars = 128;  // value name buffer, with its terminator
constexpr uint32_t kDataBytes = 512;  // value data buffer

void setEventFd(int event) { plat::setTransmitEvent(event); }

template <typename Fn>
bool bind(plat::LibraryHandle library, const char* name, Fn* out, std::string* error) {
  *out = reinterpret_cast<Fn>(plat::findSymbol(library, name));
  if (!*out && error) *error = std::string("it does not export ") + name;
  return *out != nullptr;
}

}  // namespace

std::string mediaRegistryKey(const std::string& company, const std::string& application) {
  return "SOFTWARE\\" + company + "\\" + application + "\\Media";
}

int readMediaPaths(const std::string& key, std::vector<std::string>* paths) {
  paths->clear();
  plat::RegKey regKey;
  if (int rc = plat::regOpenKey(plat::RegRoot::kLocalMachine, key, &regKey)) return rc;
  std::vector<std::string> found;
  for (uint32_t index = 0;; ++index) {
    char name[kNameChars];
    uint32_t nameChars = kNameChars;
    uint8_t data[kDataBytes];
    uint32_t dataBytes = kDataBytes;
    const int rc = plat::regEnumValue(regKey, index, name, &nameChars, nullptr, data, &dataBytes);
    if (rc == plat::kErrorNoMoreItems) break;
    if (rc != 0) return rc;
    // The data is the path up to its terminator (or the end of the data).
    const size_t n = strnlen(reinterpret_cast<const char*>(data), dataBytes);
    found.emplace_back(reinterpret_cast<const char*>(data), n);
  }
  *paths = std::move(found);
  return 0;
}

bool loadMediaLibrary(const std::string& path, MediaRecord* record, std::string* error) {
  plat::LibraryHandle library = plat::loadLibrary(path, error);
  if (!library) return false;
  auto hook = reinterpret_cast<bool (*)()>(plat::findSymbol(library, "MediaLoadHook"));
  MediaRecord r;
  if (hook && !hook()) {
    if (error) *error = "its load hook refused the load (another process may be using it)";
    plat::freeLibrary(library);
    return false;
  }
  const bool ok = bind(library, "GetMediaInfo", &r.getMediaInfo, error) &&
                  bind(library, "GetChannelInfo", &r.getChannelInfo, error) &&
                  bind(library, "EnvCreate", &r.envCreate, error) &&
                  bind(library, "EnvDestroy", &r.envDestroy, error) &&
                  bind(library, "ChannelConnect", &r.channelConnect, error) &&
                  bind(library, "ChannelDisconnect", &r.channelDisconnect, error);
  if (!ok) {
    plat::freeLibrary(library);
    return false;
  }
  r.module = library;
  r.setTransmitEvent = &setEventFd;
  *record = r;
  return true;
}

void unloadMediaLibrary(MediaRecord* record) {
  if (!record->module) return;
  plat::freeLibrary(record->module);
  record->module = nullptr;
}

}  // namespace linkhub
