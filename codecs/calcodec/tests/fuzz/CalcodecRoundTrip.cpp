#include "CalcodecRoundTrip.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codeccommon/XmlInput.h"

namespace calfuzz {

namespace {

bool readRecord(CalcodecHandle* h, const std::vector<uint8_t>& record) {
  std::unique_ptr<char[]> copy = exactCopy(record.data(), record.size());
  return CalcodecInFromStdRecord(h, copy.get(), unsigned(record.size()));
}

std::string valuesXml(CalcodecHandle* h) {
  char* xml = nullptr;
  check(CalcodecGetValuesXML(h, &xml), "values XML of a read record");
  std::string text(xml);
  std::free(xml);
  bool parses = false;
  try {
    codec::XmlInput input(text.data(), uint32_t(text.size()));
    parses = input.root("Datavalue") != nullptr;
  } catch (...) {
  }
  check(parses, "values XML parses with its root");
  return text;
}

}  // namespace

void check(bool condition, const char* message) {
  if (condition) return;
  std::fprintf(stderr, "calcodec fuzz check failed: %s\n", message);
  std::abort();
}

std::unique_ptr<char[]> exactCopy(const uint8_t* data, size_t size) {
  std::unique_ptr<char[]> copy(new char[size]);
  if (size) std::memcpy(copy.get(), data, size);
  return copy;
}

std::string withZero(const char* text) { return std::string(text, std::strlen(text) + 1); }

Handle load(const Documents& docs) {
  Handle h(CalcodecCreateHandle());
  for (const auto& d : docs.definitions)
    if (!CalcodecAddDefinition(h.get(), d.data(), unsigned(d.size()))) return nullptr;
  if (!CalcodecMergeDataSet(h.get(), docs.dataSet.data(), unsigned(docs.dataSet.size())))
    return nullptr;
  return h;
}

bool writeRecord(CalcodecHandle* h, std::vector<uint8_t>& record) {
  void* data = nullptr;
  int length = 0;
  if (!CalcodecOutToStdRecord(h, &data, &length)) return false;
  check(length >= 8, "a record holds at least its seed and check");
  record.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + length);
  std::free(data);
  return true;
}

void checkRecordRoundTrip(const Documents& docs, const std::vector<uint8_t>& record) {
  Handle reader = load(docs);
  check(reader != nullptr, "documents load");
  if (!readRecord(reader.get(), record)) return;
  std::string xml = valuesXml(reader.get());

  // Written again from what it shows. Entries the record did not hold come
  // from their defaults, or the write fails for want of a value.
  Handle writer = load(docs);
  check(CalcodecMergeDataValue(writer.get(), xml.c_str(), unsigned(xml.size() + 1)),
        "values XML merges into the documents it came from");
  std::vector<uint8_t> rewritten;
  if (!writeRecord(writer.get(), rewritten)) return;

  // One rewrite brings every value to its canonical text; from there the
  // round trip gives the same bytes.
  Handle again = load(docs);
  check(readRecord(again.get(), rewritten), "a rewritten record reads back");
  std::string xml2 = valuesXml(again.get());
  Handle writer2 = load(docs);
  check(CalcodecMergeDataValue(writer2.get(), xml2.c_str(), unsigned(xml2.size() + 1)),
        "values XML of a rewritten record merges");
  std::vector<uint8_t> stable;
  check(writeRecord(writer2.get(), stable), "a rewritten record writes again");
  check(stable == rewritten, "record -> values XML -> record gives the same bytes");
}

void checkWrittenRecord(const Documents& docs, CalcodecHandle* writer) {
  std::vector<uint8_t> record;
  if (!writeRecord(writer, record)) return;
  Handle reader = load(docs);
  check(reader != nullptr, "documents load");
  check(readRecord(reader.get(), record), "a written record reads back");
  checkRecordRoundTrip(docs, record);
}

}  // namespace calfuzz
