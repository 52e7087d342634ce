// The query exports of devmgr with their request codes and size rules, for
// table tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "devmgr/devmgr.h"

namespace devmgr_test {

using Query = bool (*)(DevmgrHandle, void*);

struct QueryCase {
  const char* name;
  Query query;
  uint8_t request;
  size_t size;
  bool exact;  // else at most `size`
};

inline const QueryCase kQueries[] = {
    {"FwVersion", DevmgrGetFwVersion, 4, 4, true},
    {"FwPlatform", DevmgrGetFwPlatform, 6, 256, false},
    {"FwSignature", DevmgrGetFwSignature, 8, 16, false},
    {"FwTarget", DevmgrGetFwTarget, 16, 256, false},
    {"FwSubTarget", DevmgrGetFwSubTarget, 18, 256, false},
    {"FwVersionString", DevmgrGetFwVersionString, 20, 256, false},
    {"FriendlyName", DevmgrGetFriendlyName, 26, 256, false},
    {"FwVerbose", DevmgrGetFwVerbose, 30, 256, false},
    {"RecVersion", DevmgrGetRecVersion, 48, 4, true},
    {"AppInfoUUID", DevmgrGetAppInfoUUID, 64, 16, true},
    {"AppInfoName", DevmgrGetAppInfoName, 66, 256, false},
    {"AppInfoVersion", DevmgrGetAppInfoVersion, 68, 256, false},
    {"AppInfoParSignature", DevmgrGetAppInfoParSignature, 70, 16, true},
    {"AppInfoDefParSignature", DevmgrGetAppInfoDefParSignature, 72, 16, true},
    {"DeviceName", DevmgrGetDeviceName, 96, 256, false},
    {"DeviceSerial", DevmgrGetDeviceSerial, 98, 4, true},
};

}  // namespace devmgr_test
