// The library's flat exports: both conversions, guarded so that no exception
// leaves them.
#include <atomic>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "ObjectDictionary.h"
#include "codeccommon/CodecError.h"
#include "odcodec/odcodec.h"

namespace {

// NULL means success, so a failure must come back as a text even when no
// memory is left to write it in: one "Exception error" text is kept ready,
// handed out then, and made again by a later call.
std::atomic<char*> spareError{nullptr};

void keepSpareError() noexcept {
  if (spareError.load(std::memory_order_acquire)) return;
  char* text = codec::mallocText(codec::kExceptionError);
  char* none = nullptr;
  if (text && !spareError.compare_exchange_strong(none, text, std::memory_order_acq_rel))
    std::free(text);
}

// Ready from the library's load on, for a first call already out of memory.
const bool spareAtLoad = (keepSpareError(), true);

// NULL on success, else the failure's text for the caller to free.
template <typename Body>
const char* runExport(Body&& body) noexcept {
  keepSpareError();
  std::string error;
  if (codec::guardExport(error, body)) return nullptr;
  // An empty text: not even the message could be kept.
  if (char* text = error.empty() ? nullptr : codec::mallocText(error)) return text;
  return spareError.exchange(nullptr, std::memory_order_acq_rel);
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
