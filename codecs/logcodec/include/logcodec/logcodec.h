// Log codec: decodes the event log stream a device produces into timestamped
// entries and renders them as plain text or as the log events XML.
//
// Conventions:
// - A handle is created by LogViewerCreateHandle and owned by the caller until
//   LogViewerDestroyHandle. One handle must not be used by two threads at the
//   same time; distinct handles are independent. Calls run on the caller's
//   thread and never keep the caller's pointers.
// - Each successful LogViewerDecodeAndAdd sorts every entry of the handle by
//   timestamp, so several log images added in turn interleave in time.
// - Buffers handed out are malloc'ed, NUL-terminated and belong to the caller,
//   who frees them. On failure the out-parameters are left untouched.
#pragma once

#if defined(_WIN32)
#if defined(LOGCODEC_BUILDING)
#define LOGCODEC_API __declspec(dllexport)
#else
#define LOGCODEC_API __declspec(dllimport)
#endif
#else
#define LOGCODEC_API __attribute__((visibility("default")))
#endif

#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct LogViewerHandle LogViewerHandle;

// A new handle with no entries and an empty last error; NULL when out of
// memory.
LOGCODEC_API LogViewerHandle* LogViewerCreateHandle(void);

// Frees the handle and every entry it holds. NULL is ignored.
LOGCODEC_API void LogViewerDestroyHandle(LogViewerHandle* handle);

// The last-error text, valid until the next call that changes it or the
// handle's destruction. A successful call does not clear it. "" for NULL.
LOGCODEC_API const char* LogViewerGetLastError(LogViewerHandle* handle);

// Decodes one log image (the bytes are copied) and adds its entries. On a
// failure the entries decoded before the faulty one stay in the handle,
// unsorted until the next successful call.
LOGCODEC_API bool LogViewerDecodeAndAdd(LogViewerHandle* handle, const void* data,
                                        unsigned int length);

// *text gets the plain text rendering of every entry.
LOGCODEC_API bool LogViewerGetPlainText(LogViewerHandle* handle, char** text);

// *xml gets the log events XML of every entry, on one line ended by "\n".
LOGCODEC_API bool LogViewerGetXML(LogViewerHandle* handle, char** xml);

#ifdef __cplusplus
}
#endif
