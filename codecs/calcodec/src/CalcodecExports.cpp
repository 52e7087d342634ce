// The flat exports: argument checks, the input copy, the export guard and the
// hand-over of malloc'ed outputs.
#include <cstdlib>
#include <new>
#include <vector>

#include "CalcodecHandle.h"
#include "calcodec/calcodec.h"
#include "codeccommon/CodecError.h"

namespace {

template <typename Body>
bool guarded(CalcodecHandle* handle, Body&& body) {
  if (!handle) return false;
  return codec::guardExport(handle->lastError, body);
}

}  // namespace

extern "C" {

CALCODEC_API CalcodecHandle* CalcodecCreateHandle(void) {
  return new (std::nothrow) CalcodecHandle();
}

CALCODEC_API void CalcodecDestroyHandle(CalcodecHandle* handle) { delete handle; }

CALCODEC_API const char* CalcodecGetLastError(CalcodecHandle* handle) {
  return handle ? handle->lastError.c_str() : "";
}

CALCODEC_API bool CalcodecAddDefinition(CalcodecHandle* handle, const char* xml,
                                        unsigned int length) {
  return guarded(handle, [&] { calcodec::addDefinition(*handle, xml, length); });
}

CALCODEC_API bool CalcodecMergeDataSet(CalcodecHandle* handle, const char* xml,
                                       unsigned int length) {
  return guarded(handle, [&] { calcodec::mergeDataSet(*handle, xml, length); });
}

CALCODEC_API bool CalcodecMergeDataValue(CalcodecHandle* handle, const char* xml,
                                         unsigned int length) {
  return guarded(handle, [&] { calcodec::mergeDataValue(*handle, xml, length); });
}

CALCODEC_API bool CalcodecOutToStdRecord(CalcodecHandle* handle, void** data, int* length) {
  if (!data || !length) return false;
  return guarded(handle, [&] {
    std::vector<uint8_t> record = calcodec::writeStdRecord(*handle);
    uint8_t* copy = codec::mallocBytes(record.data(), record.size());
    if (!copy) throw std::bad_alloc();
    *data = copy;
    *length = int(record.size());
  });
}

CALCODEC_API bool CalcodecInFromStdRecord(CalcodecHandle* handle, const void* data,
                                          unsigned int length) {
  return guarded(handle, [&] {
    // Worked on from a private copy; the caller's buffer is never kept.
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::vector<uint8_t> copy(bytes, bytes ? bytes + length : bytes);
    calcodec::readStdRecord(*handle, copy.data(), copy.size());
  });
}

CALCODEC_API bool CalcodecGetValuesXML(CalcodecHandle* handle, char** xml) {
  if (!xml) return false;
  return guarded(handle, [&] {
    char* text = codec::mallocText(calcodec::valuesXml(*handle));
    if (!text) throw std::bad_alloc();
    *xml = text;
  });
}

}  // extern "C"
