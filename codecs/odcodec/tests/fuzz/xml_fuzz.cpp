// XML dictionary reader. Invariant: a file it writes with a readable version
// renders to XML that reads back to the same file.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "odcodec/odcodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xffffffffu) return 0;
  void* file = nullptr;
  int fileLength = 0;
  const char* err =
      OdcodecFromXML(reinterpret_cast<const char*>(data), unsigned(size), &file, &fileLength);
  if (err) {
    std::free(const_cast<char*>(err));
    return 0;
  }
  if (fileLength < 2) std::abort();
  const auto* bytes = static_cast<const uint8_t*>(file);
  unsigned version = bytes[0] | bytes[1] << 8;
  char* xml = nullptr;
  err = OdcodecToXML(file, unsigned(fileLength), &xml);
  if (version >= 2) {
    // The writer does not range-test the version; the reader refuses it.
    if (!err) std::abort();
    std::free(const_cast<char*>(err));
  } else {
    if (err) std::abort();
    void* again = nullptr;
    int againLength = 0;
    err = OdcodecFromXML(xml, unsigned(std::strlen(xml)), &again, &againLength);
    if (err || againLength != fileLength || std::memcmp(again, file, size_t(fileLength)) != 0)
      std::abort();
    std::free(again);
    std::free(xml);
  }
  std::free(file);
  return 0;
}
