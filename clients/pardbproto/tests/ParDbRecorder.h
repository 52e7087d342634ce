// Records every pardbproto callback of the test process, with the thread it
// came on and when, and lets a test wait for the events it expects.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "pardbproto/pardbproto.h"
#include "testsupport/EventRecorder.h"

namespace pardbtest {

using testsupport::Clock;
using testsupport::eventually;
using testsupport::kWaitMs;
using testsupport::libraryThreads;
using testsupport::msBetween;

struct Record : testsupport::EventStamp<ProtParDBHandle> {
  uint16_t index = 0;          // events 4, 5
  uint32_t result = 0;         // events 3, 5
  std::vector<uint8_t> bytes;  // event 2: the signature; event 4: the value
};

class Recorder : public testsupport::EventRecorder<ProtParDBHandle, Record> {
 public:
  static Recorder& get() {
    static Recorder* instance = new Recorder;
    return *instance;
  }

  static void callback(ProtParDBHandle handle, uint64_t event, const void* data, uint64_t length) {
    Record r = stamped(handle, event, length);
    if (event == PROT_PARDB_EVENT_SIGNATURE && data) {
      const auto* p = static_cast<const uint8_t*>(data);
      r.bytes.assign(p, p + length);
    } else if (event == PROT_PARDB_EVENT_STORE && length == 4) {
      std::memcpy(&r.result, data, 4);
    } else if (event == PROT_PARDB_EVENT_READ && length == sizeof(ProtParDBReadResult)) {
      const auto* read = static_cast<const ProtParDBReadResult*>(data);
      r.index = read->index;
      if (read->length) r.bytes.assign(read->data, read->data + read->length);
    } else if (event == PROT_PARDB_EVENT_WRITE && length == sizeof(ProtParDBWriteResult)) {
      const auto* write = static_cast<const ProtParDBWriteResult*>(data);
      r.index = write->index;
      r.result = write->result;
    }
    get().add(std::move(r));
  }
};

}  // namespace pardbtest
