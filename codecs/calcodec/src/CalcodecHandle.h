// The state behind a CalcodecHandle and the operations the exports run on it.
// Every operation reports a failure by throwing (codec::fail), and keeps what
// it changed before the failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "CalEntry.h"
#include "codeccommon/Crc32Variant.h"

// Data-set key: name (byte order, shorter prefix first), then index.
using CalDataSetKey = std::pair<std::string, uint8_t>;

struct CalcodecHandle {
  std::map<std::string, calcodec::CalEntry> definitions;
  std::map<CalDataSetKey, calcodec::CalEntry> dataSet;
  // Fingerprint of the definitions, then the running check of the last
  // record written or read.
  uint32_t crc = codec::kCalibrationSeed;
  std::string lastError;
};

namespace calcodec {

inline constexpr unsigned kMaxIndex = 63;

void addDefinition(CalcodecHandle& handle, const char* xml, uint32_t length);
void mergeDataSet(CalcodecHandle& handle, const char* xml, uint32_t length);
void mergeDataValue(CalcodecHandle& handle, const char* xml, uint32_t length);

std::vector<uint8_t> writeStdRecord(CalcodecHandle& handle);
void readStdRecord(CalcodecHandle& handle, const uint8_t* data, size_t length);

std::string valuesXml(const CalcodecHandle& handle);

}  // namespace calcodec
