// Parameter codec: a parameter table definition (XML) plus default values
// (XML) to the signed binary parameter file a device loads, and such a file
// back to values XML.
//
// Conventions:
// - A handle is created by ParcodecCreateHandle and owned by the caller until
//   ParcodecDestroyHandle. One handle must not be used by two threads at the
//   same time; distinct handles are independent. Calls run on the caller's
//   thread and never keep the caller's pointers.
// - Every call but create, destroy and last-error returns true on success. On
//   failure it returns false, sets the handle's last-error text and leaves its
//   out-parameters untouched; whatever the call had stored in the handle before
//   failing stays there.
// - XML inputs are parsed from a private copy that stops at the first NUL byte
//   or after `length` bytes, so a count with or without the terminating NUL is
//   accepted.
// - Buffers handed out are malloc'ed and belong to the caller, who frees them.
#pragma once

#if defined(_WIN32)
#if defined(PARCODEC_BUILDING)
#define PARCODEC_API __declspec(dllexport)
#else
#define PARCODEC_API __declspec(dllimport)
#endif
#else
#define PARCODEC_API __attribute__((visibility("default")))
#endif

#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ParcodecHandle ParcodecHandle;

// A new handle with no definition, no values and an empty last error; NULL
// when out of memory.
PARCODEC_API ParcodecHandle* ParcodecCreateHandle(void);

// Frees the handle and all it holds. NULL is ignored.
PARCODEC_API void ParcodecDestroyHandle(ParcodecHandle* handle);

// The last-error text, valid until the next call on the handle or its
// destruction. "" for a NULL handle.
PARCODEC_API const char* ParcodecGetLastError(ParcodecHandle* handle);

// Loads a parameter definition XML. A second definition is merged into what
// the handle holds.
PARCODEC_API bool ParcodecSetDefinition(ParcodecHandle* handle, const char* xml,
                                        unsigned int length);

// Applies a parameter values XML as the defaults to write. Its UUID must be
// the definition's project UUID.
PARCODEC_API bool ParcodecAppendDefaults(ParcodecHandle* handle, const char* xml,
                                         unsigned int length);

// Builds the binary parameter file of every defaulted parameter: *data gets a
// malloc'ed copy, *length its size in bytes. Changes nothing in the handle.
PARCODEC_API bool ParcodecOutToDefParFile(ParcodecHandle* handle, void** data, int* length);

// Decodes a binary parameter file into the handle's decoded values (added to
// those of earlier files). The signature is not verified.
PARCODEC_API bool ParcodecInFromParFile(ParcodecHandle* handle, const void* data,
                                        unsigned int length);

// Renders the decoded values as parameter values XML: *xml gets a malloc'ed,
// NUL-terminated document.
PARCODEC_API bool ParcodecGetDataAsXML(ParcodecHandle* handle, char** xml);

#ifdef __cplusplus
}
#endif
