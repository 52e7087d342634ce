#include "LogEntry.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "ValueFormat.h"

namespace logcodec {

namespace {

constexpr uint8_t kTextType = 10;
// Value bytes in the stream for types 1 to 9.
constexpr uint8_t kValueSize[] = {0, 1, 1, 2, 2, 4, 4, 8, 8, 4};

// A text ended by a NUL byte; the view excludes the NUL, which is consumed.
bool readText(base::ByteReader& in, std::string_view& text) {
  return in.cstring(&text, base::ByteReader::kNoLimit);
}

PrintValue toPrintValue(uint8_t type, uint64_t raw) {
  PrintValue v;
  switch (type) {
    case 1:
      v.bits = uint32_t(int32_t(int8_t(raw)));
      break;
    case 2:
      v.bits = uint8_t(raw);
      break;
    case 3:
      v.bits = uint32_t(int32_t(int16_t(raw)));
      break;
    case 4:
      v.bits = uint16_t(raw);
      break;
    case 5:
    case 6:
      v.bits = uint32_t(raw);
      break;
    case 7:
    case 8:
      v.kind = ValueKind::kInt64;
      v.bits = raw;
      break;
    case 9: {
      v.kind = ValueKind::kDouble;
      uint32_t word = uint32_t(raw);
      float f;
      std::memcpy(&f, &word, sizeof f);
      v.real = f;
      break;
    }
    default:
      break;
  }
  return v;
}

bool decodeSnapshot(base::ByteReader& in, uint8_t type, DecodeScratch& scratch) {
  Snapshot s;
  DecodeScratch::Printed at;
  s.type = type;
  if (!readText(in, s.name) || !readText(in, s.description) || !readText(in, s.format) ||
      !readText(in, s.unit))
    return false;
  if (type < 1 || type > kTextType) return false;
  if (type == kTextType) {
    if (!readText(in, s.valueText)) return false;
    s.rawText = s.valueText;
  } else {
    const uint64_t raw = in.uN(kValueSize[type]);
    if (in.failed()) return false;
    PrintValue value = toPrintValue(type, raw);
    printValue(scratch.printed, type, std::string_view(), value);
    at.raw = at.value = scratch.values.size();
    at.rawLength = at.valueLength = scratch.printed.size();
    scratch.values += scratch.printed;
    if (!s.format.empty()) {
      const std::string_view rawText(scratch.values.data() + at.raw, at.rawLength);
      printValue(scratch.printed, type, s.format, value);
      if (scratch.printed != rawText) {
        at.value = scratch.values.size();
        at.valueLength = scratch.printed.size();
        scratch.values += scratch.printed;
      }
    }
  }
  scratch.snapshots.push_back(s);
  scratch.printedAt.push_back(at);
  return true;
}

}  // namespace

bool decodeEvent(base::ByteReader& in, DecodeScratch& scratch, Event& event) {
  const size_t bodyStart = in.position();
  scratch.snapshots.clear();
  scratch.printedAt.clear();
  scratch.values.clear();
  event.timestamp = in.u64();
  if (in.failed() || !readText(in, event.severity) || !readText(in, event.name) ||
      !readText(in, event.description))
    return false;
  for (;;) {
    const uint8_t type = in.u8();
    if (in.failed()) return false;
    if (type == 0) {
      const uint16_t length = in.u16();
      if (in.failed()) return false;
      if (in.position() - bodyStart != length) return false;
      break;
    }
    if (!decodeSnapshot(in, type, scratch)) return false;
  }
  // The printed values have stopped moving: point at them.
  for (size_t i = 0; i < scratch.snapshots.size(); ++i) {
    Snapshot& s = scratch.snapshots[i];
    if (s.type == kTextType) continue;
    const DecodeScratch::Printed& at = scratch.printedAt[i];
    s.rawText = std::string_view(scratch.values.data() + at.raw, at.rawLength);
    s.valueText = std::string_view(scratch.values.data() + at.value, at.valueLength);
  }
  event.snapshots = scratch.snapshots;
  return true;
}

void writeText(const Event& event, TextSink& out) {
  out.appendUnsigned(event.timestamp / 3600000000000ull, 6);
  out.append('h');
  out.appendUnsigned((event.timestamp / 60000000000ull) % 60, 2);
  out.append('m');
  out.appendUnsigned((event.timestamp / 1000000000ull) % 60, 2);
  out.append("s.");
  out.appendUnsigned((event.timestamp / 1000ull) % 1000000, 6);
  out.append(' ');
  out.append(event.name);
  out.append('(');
  out.append(event.severity);
  out.append("): ");
  out.append(event.description);
  out.append('\n');
  if (event.snapshots.empty()) return;

  size_t nameWidth = 0, valueWidth = 0;
  for (const Snapshot& s : event.snapshots) {
    nameWidth = std::max(nameWidth, s.name.size());
    valueWidth = std::max(valueWidth, s.valueText.size() + s.unit.size());
  }
  for (const Snapshot& s : event.snapshots) {
    out.append("    ");
    out.append(s.name);
    out.appendRepeated(nameWidth - s.name.size(), ' ');
    out.append(" = ");
    out.appendRepeated(valueWidth - s.valueText.size() - s.unit.size(), ' ');
    out.append(s.valueText);
    out.append(s.unit);
    out.append(' ');
    out.append(s.description);
    out.append('\n');
  }
}

void writeXml(const Event& event, TextSink& out) {
  // Every text the device supplied is escaped with all five entities.
  out.append("<Event><Name>");
  out.appendEscaped(event.name);
  out.append("</Name><Severity>");
  out.appendEscaped(event.severity);
  out.append("</Severity><Description>");
  out.appendEscaped(event.description);
  out.append("</Description><Timestamp unit=\"nsec\">");
  out.appendUnsigned(event.timestamp);
  out.append("</Timestamp><Snapshots>");
  for (const Snapshot& s : event.snapshots) {
    out.append("<Snapshot><Name>");
    out.appendEscaped(s.name);
    out.append("</Name><Description>");
    out.appendEscaped(s.description);
    out.append("</Description><Value");
    if (!s.format.empty()) {
      out.append(" format=\"");
      out.appendEscaped(s.format);
      out.append('"');
    }
    out.append('>');
    out.appendEscaped(s.valueText);
    out.append("</Value><RawValue>");
    out.appendEscaped(s.rawText);
    out.append("</RawValue>");
    if (!s.unit.empty()) {
      out.append("<UM>");
      out.appendEscaped(s.unit);
      out.append("</UM>");
    }
    out.append("</Snapshot>");
  }
  out.append("</Snapshots></Event>");
}

bool decodeTimestamp(base::ByteReader& in, uint64_t& timestamp) {
  const size_t bodyStart = in.position();
  timestamp = in.u64();
  const uint16_t length = in.u16();
  if (in.failed()) return false;
  return in.position() - bodyStart == length;
}

}  // namespace logcodec
