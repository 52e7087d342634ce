// What the calibration fuzz targets check on every input the codec accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "calcodec/calcodec.h"

namespace calfuzz {

// Aborts with the message when the condition does not hold, so the fuzzer
// records the input.
void check(bool condition, const char* message);

// Exactly the input's size on the heap, so a read past its end is caught.
std::unique_ptr<char[]> exactCopy(const uint8_t* data, size_t size);

struct HandleDeleter {
  void operator()(CalcodecHandle* h) const { CalcodecDestroyHandle(h); }
};
using Handle = std::unique_ptr<CalcodecHandle, HandleDeleter>;

// The documents a handle is loaded with, as the bytes handed over.
struct Documents {
  std::vector<std::string> definitions;
  std::string dataSet;
};

// A compiled-in document with its zero byte counted, as the tool passes it.
std::string withZero(const char* text);

// Null when a document does not load.
Handle load(const Documents& docs);

// The record written from the loaded handle, or false.
bool writeRecord(CalcodecHandle* h, std::vector<uint8_t>& record);

// For a record the documents accept: its values XML parses; written again
// from that XML it gives a record that reads back and rewrites to itself.
void checkRecordRoundTrip(const Documents& docs, const std::vector<uint8_t>& record);

// For a record written from the documents: it reads back, then as above.
void checkWrittenRecord(const Documents& docs, CalcodecHandle* writer);

}  // namespace calfuzz
