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

PrintValue toPrintValue(uint8_t type, uint64_t raw) {
  PrintValue v;
  switch (type) {
    case 1: v.bits = uint32_t(int32_t(int8_t(raw))); break;
    case 2: v.bits = uint8_t(raw); break;
    case 3: v.bits = uint32_t(int32_t(int16_t(raw))); break;
    case 4: v.bits = uint16_t(raw); break;
    case 5:
    case 6: v.bits = uint32_t(raw); break;
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
    default: break;
  }
  return v;
}

}  // namespace

bool LogEntry1::decode(StreamReader& in, EntryStore& store, DecodeScratch& scratch) {
  const size_t bodyStart = in.offset();
  scratch.snapshots.clear();
  if (!in.readU64(timestamp_) || !in.readText(severity_) || !in.readText(name_) ||
      !in.readText(description_))
    return false;
  for (;;) {
    uint8_t type = 0;
    if (!in.readU8(type)) return false;
    if (type == 0) {
      uint16_t length = 0;
      if (!in.readU16(length)) return false;
      if (in.offset() - bodyStart != length) return false;
      snapshots_ = store.copy(scratch.snapshots);
      return true;
    }
    if (!decodeSnapshot(in, type, store, scratch)) return false;
  }
}

bool LogEntry1::decodeSnapshot(StreamReader& in, uint8_t type, EntryStore& store,
                               DecodeScratch& scratch) {
  Snapshot s;
  s.type = type;
  if (!in.readText(s.name) || !in.readText(s.description) || !in.readText(s.format) ||
      !in.readText(s.unit))
    return false;
  if (type < 1 || type > kTextType) return false;
  if (type == kTextType) {
    if (!in.readText(s.valueText)) return false;
    s.rawText = s.valueText;
  } else {
    uint64_t raw = 0;
    for (uint8_t i = 0; i < kValueSize[type]; ++i) {
      uint8_t byte = 0;
      if (!in.readU8(byte)) return false;
      raw |= uint64_t(byte) << (8 * i);
    }
    PrintValue value = toPrintValue(type, raw);
    printValue(scratch.printed, type, std::string_view(), value);
    s.rawText = store.copy(scratch.printed);
    s.valueText = s.rawText;
    if (!s.format.empty()) {
      printValue(scratch.printed, type, s.format, value);
      if (scratch.printed != s.rawText) s.valueText = store.copy(scratch.printed);
    }
  }
  scratch.snapshots.push_back(s);
  return true;
}

void LogEntry1::writeText(TextSink& out) const {
  out.appendUnsigned(timestamp_ / 3600000000000ull, 6);
  out.append('h');
  out.appendUnsigned((timestamp_ / 60000000000ull) % 60, 2);
  out.append('m');
  out.appendUnsigned((timestamp_ / 1000000000ull) % 60, 2);
  out.append("s.");
  out.appendUnsigned((timestamp_ / 1000ull) % 1000000, 6);
  out.append(' ');
  out.append(name_);
  out.append('(');
  out.append(severity_);
  out.append("): ");
  out.append(description_);
  out.append('\n');
  if (snapshots_.empty()) return;

  size_t nameWidth = 0, valueWidth = 0;
  for (const Snapshot& s : snapshots_) {
    nameWidth = std::max(nameWidth, s.name.size());
    valueWidth = std::max(valueWidth, s.valueText.size() + s.unit.size());
  }
  for (const Snapshot& s : snapshots_) {
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

void LogEntry1::writeXml(TextSink& out) const {
  // Every text the device supplied is escaped with all five entities.
  out.append("<Event><Name>");
  out.appendEscaped(name_);
  out.append("</Name><Severity>");
  out.appendEscaped(severity_);
  out.append("</Severity><Description>");
  out.appendEscaped(description_);
  out.append("</Description><Timestamp unit=\"nsec\">");
  out.appendUnsigned(timestamp_);
  out.append("</Timestamp><Snapshots>");
  for (const Snapshot& s : snapshots_) {
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

bool LogEntry2::decode(StreamReader& in, EntryStore&, DecodeScratch&) {
  const size_t bodyStart = in.offset();
  uint16_t length = 0;
  if (!in.readU64(timestamp_) || !in.readU16(length)) return false;
  return in.offset() - bodyStart == length;
}

}  // namespace logcodec
