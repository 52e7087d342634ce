// The library's flat exports: both conversions, guarded so that no exception
// leaves them.
#include <new>
#include <stdexcept>

#include "ObjectDictionary.h"
#include "codeccommon/CodecError.h"
#include "odcodec/odcodec.h"

namespace {

// NULL on success, else the failure's text for the caller to free.
template <typename Body>
const char* runExport(Body&& body) noexcept {
  std::string error;
  if (codec::guardExport(error, body)) return nullptr;
  return codec::mallocText(error);
}

}  // namespace

extern "C" ODCODEC_API const char* OdcodecToXML(const void* data, unsigned int length, char** xml) {
  return runExport([&] {
    if (!xml) throw std::invalid_argument("no output");
    std::string text = odcodec::binaryToXml(static_cast<const uint8_t*>(data), length);
    char* copy = codec::mallocText(text);
    if (!copy) throw std::bad_alloc();
    *xml = copy;
  });
}

extern "C" ODCODEC_API const char* OdcodecFromXML(const char* xml, unsigned int length, void** data,
                                                  int* dataLength) {
  return runExport([&] {
    if (!data || !dataLength) throw std::invalid_argument("no output");
    std::vector<uint8_t> file = odcodec::xmlToBinary(xml, length);
    uint8_t* copy = codec::mallocBytes(file.data(), file.size());
    if (!copy) throw std::bad_alloc();
    *data = copy;
    *dataLength = int(file.size());
  });
}
