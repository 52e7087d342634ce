#include "LogEntry.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "ValueFormat.h"
#include "codeccommon/XmlText.h"

namespace logcodec {

namespace {

constexpr uint8_t kTextType = 10;
// Value bytes in the stream for types 1 to 9.
constexpr uint8_t kValueSize[] = {0, 1, 1, 2, 2, 4, 4, 8, 8, 4};

void appendUnsigned(std::string& out, uint64_t value, size_t minDigits = 1) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  size_t len = size_t(res.ptr - buf);
  if (len < minDigits) out.append(minDigits - len, '0');
  out.append(buf, len);
}

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

bool LogEntry1::decode(StreamReader& in) {
  const size_t bodyStart = in.offset();
  if (!in.readU64(timestamp_) || !in.readText(severity_) || !in.readText(name_) ||
      !in.readText(description_))
    return false;
  for (;;) {
    uint8_t type = 0;
    if (!in.readU8(type)) return false;
    if (type == 0) {
      uint16_t length = 0;
      if (!in.readU16(length)) return false;
      return in.offset() - bodyStart == length;
    }
    if (!decodeSnapshot(in, type)) return false;
  }
}

bool LogEntry1::decodeSnapshot(StreamReader& in, uint8_t type) {
  Snapshot s;
  s.type = type;
  if (!in.readText(s.name) || !in.readText(s.description) || !in.readText(s.format) ||
      !in.readText(s.unit))
    return false;
  if (type < 1 || type > kTextType) return false;
  if (type == kTextType) {
    std::string_view text;
    if (!in.readText(text)) return false;
    s.valueText.assign(text);
    s.rawText.assign(text);
  } else {
    uint64_t raw = 0;
    for (uint8_t i = 0; i < kValueSize[type]; ++i) {
      uint8_t byte = 0;
      if (!in.readU8(byte)) return false;
      raw |= uint64_t(byte) << (8 * i);
    }
    PrintValue value = toPrintValue(type, raw);
    printValue(s.valueText, type, s.format, value);
    printValue(s.rawText, type, std::string_view(), value);
  }
  snapshots_.push_back(std::move(s));
  return true;
}

void LogEntry1::writeText(std::string& out) const {
  appendUnsigned(out, timestamp_ / 3600000000000ull, 6);
  out += 'h';
  appendUnsigned(out, (timestamp_ / 60000000000ull) % 60, 2);
  out += 'm';
  appendUnsigned(out, (timestamp_ / 1000000000ull) % 60, 2);
  out += "s.";
  appendUnsigned(out, (timestamp_ / 1000ull) % 1000000, 6);
  out += ' ';
  out += name_;
  out += '(';
  out += severity_;
  out += "): ";
  out += description_;
  out += '\n';
  if (snapshots_.empty()) return;

  size_t nameWidth = 0, valueWidth = 0;
  for (const Snapshot& s : snapshots_) {
    nameWidth = std::max(nameWidth, s.name.size());
    valueWidth = std::max(valueWidth, s.valueText.size() + s.unit.size());
  }
  for (const Snapshot& s : snapshots_) {
    out += "    ";
    out += s.name;
    out.append(nameWidth - s.name.size(), ' ');
    out += " = ";
    out.append(valueWidth - s.valueText.size() - s.unit.size(), ' ');
    out += s.valueText;
    out += s.unit;
    out += ' ';
    out += s.description;
    out += '\n';
  }
}

void LogEntry1::writeXml(std::string& out) const {
  // Every text the device supplied is escaped with all five entities.
  out += "<Event><Name>";
  codec::appendEscapedAll(out, name_);
  out += "</Name><Severity>";
  codec::appendEscapedAll(out, severity_);
  out += "</Severity><Description>";
  codec::appendEscapedAll(out, description_);
  out += "</Description><Timestamp unit=\"nsec\">";
  appendUnsigned(out, timestamp_);
  out += "</Timestamp><Snapshots>";
  for (const Snapshot& s : snapshots_) {
    out += "<Snapshot><Name>";
    codec::appendEscapedAll(out, s.name);
    out += "</Name><Description>";
    codec::appendEscapedAll(out, s.description);
    out += "</Description><Value";
    if (!s.format.empty()) {
      out += " format=\"";
      codec::appendEscapedAll(out, s.format);
      out += '"';
    }
    out += '>';
    codec::appendEscapedAll(out, s.valueText);
    out += "</Value><RawValue>";
    codec::appendEscapedAll(out, s.rawText);
    out += "</RawValue>";
    if (!s.unit.empty()) {
      out += "<UM>";
      codec::appendEscapedAll(out, s.unit);
      out += "</UM>";
    }
    out += "</Snapshot>";
  }
  out += "</Snapshots></Event>";
}

bool LogEntry2::decode(StreamReader& in) {
  const size_t bodyStart = in.offset();
  uint16_t length = 0;
  if (!in.readU64(timestamp_) || !in.readU16(length)) return false;
  return in.offset() - bodyStart == length;
}

}  // namespace logcodec
