// Records every scopeproto callback of the test process, with the thread it
// came on and when, and lets a test wait for the events it expects.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "scopeproto/scopeproto.h"
#include "testsupport/EventRecorder.h"

namespace scopetest {

using testsupport::Clock;
using testsupport::eventually;
using testsupport::kWaitMs;
using testsupport::libraryThreads;
using testsupport::msBetween;

struct Record : testsupport::EventStamp<ProtDigScopeHandle> {
  ProtDigScopeStatus status{};          // event 2
  ProtDigScopeChannelList list{};       // event 3
  ProtDigScopeProgress progress{};      // event 4
  uint32_t rawStatus = 0, rawSize = 0;  // event 5
  bool rawData = false;                 // event 5: a data pointer came
  std::vector<uint8_t> data;            // event 5
};

class Recorder : public testsupport::EventRecorder<ProtDigScopeHandle, Record> {
 public:
  static Recorder& get() {
    static Recorder* instance = new Recorder;
    return *instance;
  }

  static void callback(ProtDigScopeHandle handle, uint64_t event, const void* data,
                       uint64_t length) {
    Record r = stamped(handle, event, length);
    if (event == 2 && length == sizeof r.status) std::memcpy(&r.status, data, sizeof r.status);
    if (event == 3 && length == sizeof r.list) std::memcpy(&r.list, data, sizeof r.list);
    if (event == 4 && length == sizeof r.progress)
      std::memcpy(&r.progress, data, sizeof r.progress);
    if (event == 5 && length == sizeof(ProtDigScopeRawResult)) {
      const auto* raw = static_cast<const ProtDigScopeRawResult*>(data);
      r.rawStatus = raw->status;
      r.rawSize = raw->size;
      r.rawData = raw->data != nullptr;
      if (raw->data) r.data.assign(raw->data, raw->data + raw->size);
    }
    get().add(std::move(r));
  }
};

}  // namespace scopetest
