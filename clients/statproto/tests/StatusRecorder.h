// Records every statproto callback of the test process, with the thread it
// came on and when, and lets a test wait for the events it expects.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "statproto/statproto.h"
#include "svcwire/StatusWire.h"
#include "testsupport/EventRecorder.h"

namespace stattest {

using testsupport::Clock;
using testsupport::eventually;
using testsupport::kWaitMs;
using testsupport::libraryThreads;
using testsupport::msBetween;

struct Record : testsupport::EventStamp<ProtStatusHandle> {
  std::vector<uint16_t> list;  // events 3, 4
  std::vector<uint8_t> bytes;  // event 2
  std::string text;            // event 5
};

class Recorder : public testsupport::EventRecorder<ProtStatusHandle, Record> {
 public:
  static Recorder& get() {
    static Recorder* instance = new Recorder;
    return *instance;
  }

  static void callback(ProtStatusHandle handle, uint64_t event, const void* data, uint64_t length) {
    Record r = stamped(handle, event, length);
    if ((event == 3 || event == 4) && length == sizeof(ProtStatusList)) {
      const auto* list = static_cast<const ProtStatusList*>(data);
      r.list.assign(list->values, list->values + list->count);
    } else if (event == 2 && data) {
      const auto* p = static_cast<const uint8_t*>(data);
      r.bytes.assign(p, p + length);
    } else if (event == 5 && length == sizeof(ProtStatusText)) {
      r.text = static_cast<const ProtStatusText*>(data)->text;
    }
    get().add(std::move(r));
  }

  // Asks for notifications and waits for the status text: its index, or -1
  // (also when the request was refused).
  int notifiedText(ProtStatusHandle handle) {
    const size_t from = size();
    return ProtStatusReqNotifications(handle) ? waitFor(handle, 5, from) : -1;
  }
};

// Device messages outside the rules of the service; each breaks the channel.
inline std::vector<std::pair<const char*, std::vector<uint8_t>>> badMessages() {
  namespace wire = svcwire::status;
  std::vector<uint8_t> shortSignature(16, 0xEE);  // code and 15 bytes
  shortSignature[0] = wire::kSignature;
  std::vector<uint8_t> bigMask(1 + wire::kMaxEventMaskBytes + 1, 0);
  bigMask[0] = wire::kEvents;
  std::vector<uint8_t> fullMask(1 + wire::kMaxEventMaskBytes, 0xFF);  // 65536 events
  fullMask[0] = wire::kEvents;
  std::vector<uint8_t> longPower(1 + wire::kMaxPowerStateBytes + 2, 0);
  longPower[0] = wire::kPowerStates;
  return {
      {"15-byte signature", shortSignature},
      {"odd power list", {wire::kPowerStates, 1, 2, 3}},
      {"code 99", {99}},
      {"empty message", {}},
      {"8193-byte mask", bigMask},
      {"65536 events", fullMask},
      {"65536 power states", longPower},
  };
}

}  // namespace stattest
