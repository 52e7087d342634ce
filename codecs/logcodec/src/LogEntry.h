// The entries of a device log stream. A handle keeps no decoded copy of
// them: an entry is its sort key and the place of its body in the log image
// the handle keeps, and rendering decodes the body again (it was checked
// when added), so a handle holds little beyond its images.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "TextSink.h"
#include "base/ByteReader.h"

namespace logcodec {

// An event (stream entry version 1) as the handle keeps it. Timestamp-only
// entries (version 2) order the log while it is decoded but render nothing,
// so none is kept.
struct EntryRef {
  uint64_t key = 0;               // the timestamp in nanoseconds, the sort key
  const uint8_t* body = nullptr;  // just after the entry version, in its image
  uint32_t bodyLength = 0;
  uint32_t xmlBytes = 0;  // its XML's size, measured when it was added
};

struct Snapshot {
  uint8_t type = 0;
  std::string_view name;
  std::string_view description;
  std::string_view format;
  std::string_view unit;
  std::string_view valueText;  // printed with the device's format, or the default
  std::string_view rawText;    // printed with the default format
};

// An event decoded for rendering: its texts are views into the image and
// into the scratch it was decoded with, valid until that decodes the next.
struct Event {
  uint64_t timestamp = 0;
  std::string_view severity;
  std::string_view name;
  std::string_view description;
  std::span<const Snapshot> snapshots;
};

// What decoding reuses from one entry to the next.
struct DecodeScratch {
  std::vector<Snapshot> snapshots;
  std::string printed;  // one value at a time
  std::string values;   // the event's printed values, one after the other
  // Where in `values` each snapshot's printed texts are, while `values` may
  // still move.
  struct Printed {
    size_t raw = 0, rawLength = 0, value = 0, valueLength = 0;
  };
  std::vector<Printed> printedAt;
};

// Reads an event's body (the cursor stands just after the entry version)
// into `event`; false when it is malformed.
bool decodeEvent(base::ByteReader& in, DecodeScratch& scratch, Event& event);
// Reads a timestamp-only entry's body; false when it is malformed.
bool decodeTimestamp(base::ByteReader& in, uint64_t& timestamp);

void writeText(const Event& event, TextSink& out);
void writeXml(const Event& event, TextSink& out);

}  // namespace logcodec
