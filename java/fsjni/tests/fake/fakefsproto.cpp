// A file server library with the real one's exports whose listing delivers
// whatever the test asks for, including events the real library never
// produces (wrong lengths, unknown types, a name filling its whole field,
// extreme codes), to reach the binding's error paths.
//
// FAKEFSPROTO_EVENTS: the events ProtFSrvDir delivers, in order, on a thread
// of the library (joined before the call returns), as "type:length[:value]"
// separated by commas. The payload is `length` bytes; the first four hold
// `value` (int32, default 0) when there is room; a row (type 4) of 40 bytes
// has a name of 32 'n' bytes without a zero, size `value` and attribute word
// 0xFFFF. ProtFSrvDownload, Upload and Unlink refuse with -107 on the
// caller's thread. FAKEFSPROTO_LOG: a file that gets one line "cleanup" per
// ProtFSrvCleanup.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fsproto/fsproto.h"
#include "testsupport/CallLog.h"

namespace {

struct Step {
  int type = 0;
  std::size_t length = 0;
  std::int32_t value = 0;
};

std::vector<Step> script() {
  std::vector<Step> steps;
  const char* text = std::getenv("FAKEFSPROTO_EVENTS");
  if (!text) return steps;
  std::stringstream all(text);
  std::string item;
  while (std::getline(all, item, ',')) {
    Step s;
    std::stringstream fields(item);
    std::string field;
    if (std::getline(fields, field, ':')) s.type = std::atoi(field.c_str());
    if (std::getline(fields, field, ':')) s.length = std::strtoul(field.c_str(), nullptr, 10);
    if (std::getline(fields, field, ':'))
      s.value = std::int32_t(std::strtoll(field.c_str(), nullptr, 10));
    steps.push_back(s);
  }
  return steps;
}

void deliver(ProtFSrvCallback cb, void* user, const Step& s) {
  std::vector<std::uint8_t> raw(s.length, 0);
  if (s.type == FSRV_EVENT_DIR_ENTRY && s.length == sizeof(FSrvDirEntry)) {
    FSrvDirEntry row{};
    std::memset(row.name, 'n', sizeof row.name);
    row.size = s.value;
    row.attributes = std::int16_t(-1);
    std::memcpy(raw.data(), &row, sizeof row);
  } else if (s.length >= 4) {
    std::memcpy(raw.data(), &s.value, 4);
  }
  cb(user, s.type, raw.empty() ? nullptr : raw.data(), raw.size());
}

bool refuse(ProtFSrvCallback cb, void* user) {
  const std::int32_t code = -107;
  if (cb) cb(user, FSRV_EVENT_FAILED, &code, sizeof code);
  return false;
}

}  // namespace

extern "C" {

FSPROTO_API bool ProtFSrvDownload(const uint8_t*, size_t, ProtFSrvCallback cb, void* user,
                                  const char*, const ProtFSrvPathChar*, const char*, int) {
  return refuse(cb, user);
}

FSPROTO_API bool ProtFSrvUpload(const uint8_t*, size_t, ProtFSrvCallback cb, void* user,
                                const char*, const char*, const ProtFSrvPathChar*) {
  return refuse(cb, user);
}

FSPROTO_API bool ProtFSrvDir(const uint8_t*, size_t, ProtFSrvCallback cb, void* user, const char*) {
  if (!cb) return true;
  const std::vector<Step> steps = script();
  std::thread worker([&] {
    for (const Step& s : steps) deliver(cb, user, s);
  });
  worker.join();
  return true;
}

FSPROTO_API bool ProtFSrvUnlink(const uint8_t*, size_t, ProtFSrvCallback cb, void* user,
                                const char*, const char*) {
  return refuse(cb, user);
}

FSPROTO_API void ProtFSrvCleanup(void) {
  testsupport::appendCallLine("FAKEFSPROTO_LOG", "cleanup");
}

FSPROTO_API const char* ProtFSrvTranslateError(int code) {
  switch (code) {
    case -2:
      return "No such file (ENOENT)";
    case -107:
      return "connection refused (ECONNREFUSED)";
    case -2147483647 - 1:
      return "the most negative code";
    default:
      return nullptr;
  }
}

}  // extern "C"
