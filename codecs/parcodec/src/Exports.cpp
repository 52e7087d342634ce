// The library's flat exports: no exception leaves them.
#include <climits>
#include <new>
#include <stdexcept>

#include "ParameterTable.h"
#include "codeccommon/CodecError.h"
#include "parcodec/parcodec.h"

struct ParcodecHandle {
  parcodec::ParameterTable table;
  std::string lastError;
};

extern "C" {

PARCODEC_API ParcodecHandle* ParcodecCreateHandle(void) {
  return new (std::nothrow) ParcodecHandle();
}

PARCODEC_API void ParcodecDestroyHandle(ParcodecHandle* handle) { delete handle; }

PARCODEC_API const char* ParcodecGetLastError(ParcodecHandle* handle) {
  return handle ? handle->lastError.c_str() : "";
}

PARCODEC_API bool ParcodecSetDefinition(ParcodecHandle* handle, const char* xml,
                                        unsigned int length) {
  if (!handle) return false;
  return codec::guardExport(handle->lastError,
                            [&] { parcodec::loadDefinition(handle->table, xml, length); });
}

PARCODEC_API bool ParcodecAppendDefaults(ParcodecHandle* handle, const char* xml,
                                         unsigned int length) {
  if (!handle) return false;
  return codec::guardExport(handle->lastError,
                            [&] { parcodec::applyDefaults(handle->table, xml, length); });
}

PARCODEC_API bool ParcodecOutToDefParFile(ParcodecHandle* handle, void** data, int* length) {
  if (!handle) return false;
  return codec::guardExport(handle->lastError, [&] {
    if (!data || !length) throw std::invalid_argument("no output");
    std::vector<uint8_t> file = parcodec::writeParFile(handle->table);
    if (file.size() > size_t(INT_MAX)) codec::fail("Parameter file too large");
    uint8_t* copy = codec::mallocBytes(file.data(), file.size());
    if (!copy) throw std::bad_alloc();
    *data = copy;
    *length = int(file.size());
  });
}

PARCODEC_API bool ParcodecInFromParFile(ParcodecHandle* handle, const void* data,
                                        unsigned int length) {
  if (!handle) return false;
  return codec::guardExport(handle->lastError, [&] {
    parcodec::readParFile(handle->table, static_cast<const uint8_t*>(data), length);
  });
}

PARCODEC_API bool ParcodecGetDataAsXML(ParcodecHandle* handle, char** xml) {
  if (!handle) return false;
  return codec::guardExport(handle->lastError, [&] {
    if (!xml) throw std::invalid_argument("no output");
    char* copy = codec::mallocText(parcodec::renderValuesXml(handle->table));
    if (!copy) throw std::bad_alloc();
    *xml = copy;
  });
}

}  // extern "C"
