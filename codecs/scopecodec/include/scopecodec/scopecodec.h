// Scope capture codec: turns a digital scope capture, as the device delivers
// it, into the scope capture XML (configuration, then the samples of every
// channel with their times and the trigger time). Stateless: calls run on the
// caller's thread, may run concurrently and never keep the caller's pointers.
#pragma once

#if defined(_WIN32)
#if defined(SCOPECODEC_BUILDING)
#define SCOPECODEC_API __declspec(dllexport)
#else
#define SCOPECODEC_API __declspec(dllimport)
#endif
#else
#define SCOPECODEC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Decodes `length` bytes of a scope capture and returns a result code: 0
// successful, 1 unsupported API level, 2 unexpected end of file, 3 invalid
// data size, 4 invalid data header, 5 trigger point not found. Only on 0 is
// *xml set, to the malloc'ed, NUL-terminated XML, which the caller frees;
// otherwise *xml is left untouched.
SCOPECODEC_API int DigScopeDecode(const void* data, unsigned int length, char** xml);

// The static text of a result code 0 to 5 (not to be freed), NULL for any
// other code.
SCOPECODEC_API const char* DigScopeDecTranslateError(int code);

#ifdef __cplusplus
}
#endif
