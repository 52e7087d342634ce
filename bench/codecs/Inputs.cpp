#include "Inputs.h"

#include <cstdint>
#include <cstring>

namespace codecbench {

namespace {

template <typename T>
void put(Bytes& out, T value) {
  char raw[sizeof(T)];
  std::memcpy(raw, &value, sizeof(T));  // the benchmark host is little-endian
  out.insert(out.end(), raw, raw + sizeof(T));
}

void putText(Bytes& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
  out.push_back('\0');
}

void putSnapshot(Bytes& out, uint8_t type, const char* name, const char* format, const char* unit) {
  out.push_back(char(type));
  putText(out, name);
  putText(out, "sampled at the event");
  putText(out, format);
  putText(out, unit);
}

}  // namespace

Bytes makeLogStream(size_t minBytes) {
  Bytes out;
  out.reserve(minBytes + 256);
  uint64_t time = 1000000;
  for (uint32_t n = 0; out.size() < minBytes; ++n) {
    put<uint16_t>(out, 1);
    size_t body = out.size();
    time += 1000 + n % 977;
    put<uint64_t>(out, time);
    putText(out, n % 7 ? "Info" : "Warning");
    putText(out, "Event" + std::to_string(n % 50));
    putText(out, "Periodic controller status & health");
    putSnapshot(out, 5, "temperature", "", "C");
    put<int32_t>(out, int32_t(n % 120) - 20);
    putSnapshot(out, 9, "supply", "%.3f", "V");
    put<float>(out, 11.5f + float(n % 100) / 64.0f);
    putSnapshot(out, 2, "state", "", "");
    put<uint8_t>(out, uint8_t(n));
    out.push_back('\0');
    put<uint16_t>(out, uint16_t(out.size() + 2 - body));
    if (n % 10 == 9) {
      put<uint16_t>(out, 2);
      put<uint64_t>(out, ++time);
      put<uint16_t>(out, 10);
    }
  }
  return out;
}

Bytes makeScopeCapture(size_t minBytes) {
  constexpr int kChannels = 4;
  constexpr int kWordBytes = 2, kSampleBytes = 4;
  constexpr int kStepsPerBlock = 8000;
  constexpr int kWordsPerStep = kChannels * kSampleBytes / kWordBytes;
  Bytes out;
  out.reserve(minBytes + 200000);
  out.push_back(1);
  out.push_back(char(8 * kWordBytes));
  for (int i = 0; i < 16; ++i) out.push_back(char(0xa0 + i));
  out.push_back(0);
  put<float>(out, 0.5f);
  put<float>(out, 0.1f);
  put<uint16_t>(out, 0);  // no triggers
  put<uint16_t>(out, kChannels);
  for (int c = 0; c < kChannels; ++c) {
    put<uint16_t>(out, uint16_t(0x2000 + c));
    out.push_back(char(kSampleBytes));
    out.push_back(1);  // every step
    put<float>(out, 1e-5f);
  }
  put<uint32_t>(out, 0x80000000u);  // no trigger expected
  uint16_t sample = 0;
  while (out.size() < minBytes) {
    put<uint16_t>(out, uint16_t(8 / kWordBytes + kStepsPerBlock * kWordsPerStep));
    put<uint16_t>(out, 0);
    put<float>(out, 1e-5f);
    for (int w = 0; w < kStepsPerBlock * kWordsPerStep; ++w) put<uint16_t>(out, sample += 37);
  }
  return out;
}

ParameterTable makeParameterTable(int variables) {
  static const char* const kTypes[] = {"int8_t",   "uint8_t", "int16_t",  "uint16_t", "int32_t",
                                       "uint32_t", "int64_t", "uint64_t", "float",    "Mode"};
  static const char* const kValues[] = {"-12",     "200",        "-3000",       "60000",
                                        "-100000", "4000000000", "-5000000000", "9000000000",
                                        "0.125",   "Auto"};
  ParameterTable t;
  t.definition =
      "<?xml version=\"1.0\"?>\n<zamoNs:zamoRoot xmlns:zamoNs=\"urn:bench\">\n"
      "  <zamoNs:zamoXMLVersion>1.0</zamoNs:zamoXMLVersion>\n"
      "  <zamoNs:projectIdentity><zamoNs:projectUUID>00112233445566778899aabbccddeeff"
      "</zamoNs:projectUUID><zamoNs:paramTableId>ffeeddccbbaa99887766554433221100"
      "</zamoNs:paramTableId></zamoNs:projectIdentity>\n"
      "  <zamoNs:definedEnums><zamoNs:definedEnum><zamoNs:enumSimpleName>Mode"
      "</zamoNs:enumSimpleName><zamoNs:enumTypeName>ModeType</zamoNs:enumTypeName>"
      "<zamoNs:enumItems>"
      "<zamoNs:enumItem><zamoNs:enumItemName>Off</zamoNs:enumItemName>"
      "<zamoNs:enumItemIndex>0</zamoNs:enumItemIndex></zamoNs:enumItem>"
      "<zamoNs:enumItem><zamoNs:enumItemName>Manual</zamoNs:enumItemName>"
      "<zamoNs:enumItemIndex>1</zamoNs:enumItemIndex></zamoNs:enumItem>"
      "<zamoNs:enumItem><zamoNs:enumItemName>Auto</zamoNs:enumItemName>"
      "<zamoNs:enumItemIndex>2</zamoNs:enumItemIndex></zamoNs:enumItem>"
      "</zamoNs:enumItems></zamoNs:definedEnum></zamoNs:definedEnums>\n"
      "  <zamoNs:definedVariables>\n";
  t.values =
      "<?xml version=\"1.0\"?>\n<Table UUID=\"00112233445566778899aabbccddeeff\">\n"
      "  <Parameters>\n";
  constexpr int kGroupSize = 50;
  for (int g = 0; g * kGroupSize < variables; ++g) {
    std::string group = "Group" + std::to_string(g);
    t.definition += "    <zamoNs:definedVariable><zamoNs:varName>" + group +
                    "</zamoNs:varName><zamoNs:definedVariables>\n";
    for (int i = g * kGroupSize; i < variables && i < (g + 1) * kGroupSize; ++i) {
      std::string name = "Setting" + std::to_string(i);
      t.definition += "      <zamoNs:definedVariable><zamoNs:varName>" + name +
                      "</zamoNs:varName><zamoNs:varType>" + kTypes[i % 10] +
                      "</zamoNs:varType><zamoNs:remoteIndex>" + std::to_string(1000 + i) +
                      "</zamoNs:remoteIndex><zamoNs:zamoNote><zamoNs:accessMode>Param"
                      "</zamoNs:accessMode><zamoNs:defaultValue>0</zamoNs:defaultValue>"
                      "</zamoNs:zamoNote></zamoNs:definedVariable>\n";
      t.values += "    <Parameter>\n      <Name>" + group + "." + name + "</Name>\n      <Value>" +
                  kValues[i % 10] + "</Value>\n    </Parameter>\n";
    }
    t.definition += "    </zamoNs:definedVariables></zamoNs:definedVariable>\n";
  }
  t.definition += "  </zamoNs:definedVariables>\n</zamoNs:zamoRoot>\n";
  t.values += "  </Parameters>\n</Table>\n";
  return t;
}

Bytes makeObjectDictionary(int records) {
  static const int kLengths[] = {0, 1, 1, 2, 2, 4, 4, 4, 4, 8, 16, 32};
  Bytes out;
  put<uint16_t>(out, 1);
  for (int r = 0; r < records; ++r) {
    int length = kLengths[r % 12];
    put<uint16_t>(out, uint16_t(0x1000 + r / 4));
    out.push_back(char(r % 4));
    out.push_back(char((r % 3 == 0 ? 0x80 : 0) | length));
    for (int i = 0; i < length; ++i) out.push_back(char(r * 7 + i));
  }
  return out;
}

}  // namespace codecbench
