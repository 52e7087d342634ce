/* File server client: copies a file to a device's storage (download) and
 * from it (upload), lists a storage volume and deletes a file there. Each
 * call is one transfer on a channel of its own (protocol id 3) with a thread
 * of its own; it returns as soon as the transfer has started, and the
 * outcome, progress and listing rows arrive through the callback.
 *
 * Events of ProtFSrvCallback (user, event, data, length):
 *   1 finished     int32 result from the device (0 or more)      length 4
 *   2 failed       int32 negative error code                     length 4
 *   3 progress     int32 done, int32 total (bytes)               length 8
 *   4 listing row  FSrvDirEntry                                  length 40
 * Exactly one of events 1 and 2 ends every started transfer, and nothing is
 * reported for it afterwards. Data pointers are valid only during the call.
 *
 * A transfer export returns true when the transfer has started; false when
 * it could not, in which case event 2 has already been delivered on the
 * caller's thread: -107 when no channel could be opened (the device is not
 * online, the server is not running, or the pipe did not connect), -2 when a
 * download's local file cannot be read (missing, or not a regular file).
 * Every other event runs on a thread of the library, with a library lock
 * held: a callback must not call ProtFSrvCleanup or any transfer export.
 * A null callback is accepted and hears nothing.
 *
 * Error codes of the library itself: -107 no channel, -108 the channel ended
 * before the transfer finished, -127 protocol error (an unexpected or
 * malformed message, an acknowledgement outside what was sent, a listing
 * whose count does not match, an upload whose bytes differ from its announced
 * size), -138 no answer in time (4 s), -2 the local source cannot be read,
 * -9 the local target cannot be created, -27 a local source over 2 GiB,
 * -errno when writing or renaming the local target fails. Other negative
 * codes come from the device; -11 (busy) is retried up to 16 times first.
 *
 * An upload writes a new file beside the local target and renames it over
 * the target only once the whole file has arrived, so a failed upload leaves
 * the old file (or none) in place. A target that exists and is not a regular
 * file (a device node, a FIFO) is written directly.
 *
 * Names: the volume is cut to its first 7 bytes and the remote name to its
 * first 31. Local paths are ProtFSrvPathChar strings: UTF-8 here.
 *
 * Argument misuse stops the process with an assertion: a hwidsz other than
 * 16 ("sizeof(inhwid.id) == _hwidsz"). */
#ifndef FSPROTO_FSPROTO_H
#define FSPROTO_FSPROTO_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#include <wchar.h>
#if defined(FSPROTO_BUILD)
#define FSPROTO_API __declspec(dllexport)
#else
#define FSPROTO_API __declspec(dllimport)
#endif
typedef wchar_t ProtFSrvPathChar;
#else
#define FSPROTO_API __attribute__((visibility("default")))
typedef char ProtFSrvPathChar;
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define FSPROTO_HWID_SIZE 16

enum {
  FSRV_EVENT_FINISHED = 1,
  FSRV_EVENT_FAILED = 2,
  FSRV_EVENT_PROGRESS = 3,
  FSRV_EVENT_DIR_ENTRY = 4
};

/* One listing row: the name NUL-terminated (at most 31 bytes) and
 * zero-filled. */
typedef struct FSrvDirEntry {
  char name[32];
  int32_t size;
  int16_t attributes;
  uint8_t padding[2];
} FSrvDirEntry;

typedef void (*ProtFSrvCallback)(void* user, int event, const void* data, size_t length);

/* PC to device: sends `local` as `remote` on `volume` with the attribute
 * word `attributes` (sent as int16). */
FSPROTO_API bool ProtFSrvDownload(const uint8_t* hwid, size_t hwidsz, ProtFSrvCallback cb,
                                  void* user, const char* volume, const ProtFSrvPathChar* local,
                                  const char* remote, int attributes);
/* Device to PC: receives `remote` of `volume` into `local`. */
FSPROTO_API bool ProtFSrvUpload(const uint8_t* hwid, size_t hwidsz, ProtFSrvCallback cb, void* user,
                                const char* volume, const char* remote,
                                const ProtFSrvPathChar* local);
/* Lists `volume`: event 4 for every entry, in the device's order, then 1
 * with the number of entries. */
FSPROTO_API bool ProtFSrvDir(const uint8_t* hwid, size_t hwidsz, ProtFSrvCallback cb, void* user,
                             const char* volume);
/* Deletes `remote` of `volume`. */
FSPROTO_API bool ProtFSrvUnlink(const uint8_t* hwid, size_t hwidsz, ProtFSrvCallback cb, void* user,
                                const char* volume, const char* remote);
/* Ends and frees every transfer still known; one still running reports
 * -108 first. Also run when the library is unloaded. */
FSPROTO_API void ProtFSrvCleanup(void);
/* The text of an error code, or null for a code without one (-127, -138 and
 * codes outside the table). The texts are static. */
FSPROTO_API const char* ProtFSrvTranslateError(int code);

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus)
static_assert(sizeof(FSrvDirEntry) == 40, "FSrvDirEntry is 40 bytes");
static_assert(offsetof(FSrvDirEntry, size) == 32, "size follows the name");
static_assert(offsetof(FSrvDirEntry, attributes) == 36, "attributes follow the size");
#else
_Static_assert(sizeof(FSrvDirEntry) == 40, "FSrvDirEntry is 40 bytes");
#endif

#endif
