// Object dictionary codec: the device's binary object dictionary to its XML
// form and back. Stateless; each call does one whole conversion on the
// caller's thread and may run concurrently with any other call.
//
// Results: NULL on success; otherwise a malloc'ed, NUL-terminated error text
// that the caller frees, and the out-parameters are left untouched. Buffers
// handed out on success are malloc'ed too and belong to the caller (free).
#pragma once

#if defined(_WIN32)
#if defined(ODCODEC_BUILDING)
#define ODCODEC_API __declspec(dllexport)
#else
#define ODCODEC_API __declspec(dllimport)
#endif
#else
#define ODCODEC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Binary dictionary (length bytes at data) to XML; *xml receives the
// NUL-terminated document.
ODCODEC_API const char* OdcodecToXML(const void* data, unsigned int length, char** xml);

// XML document (parsing stops at the first NUL or after length bytes) to the
// binary dictionary; *data receives the file, *dataLength its size in bytes.
ODCODEC_API const char* OdcodecFromXML(const char* xml, unsigned int length, void** data,
                                       int* dataLength);

#ifdef __cplusplus
}
#endif
