/* Calibration codec: calibration definition, data set and data value XML to
 * and from the standard record a device stores.
 *
 * Calling order: CalcodecAddDefinition for each definition document, then
 * CalcodecMergeDataSet, then either CalcodecMergeDataValue for each value
 * document and CalcodecOutToStdRecord, or CalcodecInFromStdRecord and
 * CalcodecGetValuesXML.
 *
 * Every call runs on the caller's thread; one handle must not be used by two
 * threads at once. Inputs are copied before use, so the caller's buffer is
 * never kept; an XML input may or may not count a terminating zero byte.
 * Output buffers are malloc'ed here and freed by the caller with free(); a
 * failed call leaves them untouched. The boolean exports return false on
 * failure, and CalcodecGetLastError then tells why. */
#ifndef CALCODEC_CALCODEC_H
#define CALCODEC_CALCODEC_H

#include <stdbool.h>

#if defined(_WIN32)
#if defined(CALCODEC_BUILD)
#define CALCODEC_API __declspec(dllexport)
#else
#define CALCODEC_API __declspec(dllimport)
#endif
#else
#define CALCODEC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct CalcodecHandle CalcodecHandle;

/* A new, empty handle whose fingerprint starts at 0xDEADBEEF; null when out
 * of memory. */
CALCODEC_API CalcodecHandle* CalcodecCreateHandle(void);
/* Null is ignored. */
CALCODEC_API void CalcodecDestroyHandle(CalcodecHandle* handle);
/* The last failure's text; valid until the next call on the handle or its
 * destruction. */
CALCODEC_API const char* CalcodecGetLastError(CalcodecHandle* handle);

/* Folds all `length` bytes into the fingerprint, then adds the entries the
 * document defines. May be called several times. */
CALCODEC_API bool CalcodecAddDefinition(CalcodecHandle* handle, const char* xml,
                                        unsigned int length);
/* Places defined entries into numbered data sets (indices 0 to 63). */
CALCODEC_API bool CalcodecMergeDataSet(CalcodecHandle* handle, const char* xml,
                                       unsigned int length);
/* Gives values to data-set entries. May be called several times. */
CALCODEC_API bool CalcodecMergeDataValue(CalcodecHandle* handle, const char* xml,
                                         unsigned int length);

/* Builds the standard record: *data (malloc'ed) and its *length in bytes. */
CALCODEC_API bool CalcodecOutToStdRecord(CalcodecHandle* handle, void** data, int* length);
/* Reads a standard record back into the data-set entries. */
CALCODEC_API bool CalcodecInFromStdRecord(CalcodecHandle* handle, const void* data,
                                          unsigned int length);
/* The values read back, as calibration data value XML in *xml (malloc'ed,
 * zero-terminated). */
CALCODEC_API bool CalcodecGetValuesXML(CalcodecHandle* handle, char** xml);

#ifdef __cplusplus
}
#endif

#endif /* CALCODEC_CALCODEC_H */
