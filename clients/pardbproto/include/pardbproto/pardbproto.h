/* Parameter database client: keeps a channel of the device's parameter
 * database service (protocol id 2) open while the device is registered,
 * reconnecting it by itself. Requests are asynchronous: each export sends
 * its request and returns; the device's answer comes later as an event, in
 * the order of the requests.
 *
 * Events (handle, event, data, length); pointers are valid only during the
 * call:
 *   0  channel down; data null, length the reason: 1 unregistered, 2 the
 *      channel broke (or the device sent a reply outside the rules),
 *      3 an awaited reply did not come in time. Requests outstanding at
 *      that moment get no event.
 *   1  channel up; data null, length 0
 *   2  signature: 16 bytes, length 16
 *   3  store result: uint32 1 stored, 2 failed; length 4
 *   4  read result: ProtParDBReadResult, length 24
 *   5  write result: ProtParDBWriteResult, length 8
 *
 * Threads: events 0 (reasons 2, 3) and 1 come on the library's handler
 * thread, events 2 to 5 on the channel's pipe thread, event 0 with reason 1
 * on the thread that unregisters. Callbacks run with library locks held:
 * they must not register, unregister, or make a request on the same handle.
 * A null callback means no events.
 *
 * Handles belong to the library: registering an id again gives the same
 * handle (and the first callback); it is freed once every registration of
 * it is undone. The first ProtParDBUnRegister disconnects it; requests on
 * it then return false.
 *
 * Misuse stops the process with an assertion: a hardware id length other
 * than 16 ("sizeof(inhwid.id) == _hwidsz"), an unregistration or request
 * while nothing is registered ("ch"). */
#ifndef PARDBPROTO_PARDBPROTO_H
#define PARDBPROTO_PARDBPROTO_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(PARDBPROTO_BUILD)
#    define PARDBPROTO_API __declspec(dllexport)
#  else
#    define PARDBPROTO_API __declspec(dllimport)
#  endif
#else
#  define PARDBPROTO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define PROT_PARDB_HWID_SIZE 16

enum {
  PROT_PARDB_EVENT_DOWN = 0,
  PROT_PARDB_EVENT_UP = 1,
  PROT_PARDB_EVENT_SIGNATURE = 2,
  PROT_PARDB_EVENT_STORE = 3,
  PROT_PARDB_EVENT_READ = 4,
  PROT_PARDB_EVENT_WRITE = 5
};

enum {
  PROT_PARDB_DOWN_UNREGISTERED = 1,
  PROT_PARDB_DOWN_BROKEN = 2,
  PROT_PARDB_DOWN_TIMEOUT = 3
};

/* Results of events 3 and 5. */
enum { PROT_PARDB_RESULT_OK = 1, PROT_PARDB_RESULT_FAILED = 2 };

/* Event 4. The index is the one of the request. */
typedef struct ProtParDBReadResult {
  uint16_t index;
  uint8_t padding[6];
  const uint8_t* data;
  uint64_t length;
} ProtParDBReadResult;

/* Event 5. */
typedef struct ProtParDBWriteResult {
  uint16_t index;
  uint8_t padding[2];
  uint32_t result;
} ProtParDBWriteResult;

typedef struct ParamCmdProc* ProtParDBHandle;
typedef void (*ProtParDBCallback)(ProtParDBHandle handle, uint64_t event, const void* data,
                                  uint64_t length);

/* Never null; the channel comes up later (event 1). */
PARDBPROTO_API ProtParDBHandle ProtParDBRegister(const uint8_t* hwid, size_t hwidsz,
                                                 ProtParDBCallback callback);
PARDBPROTO_API void ProtParDBUnRegister(ProtParDBHandle handle);
/* True when the request went to the channel; false when disconnected,
 * broken or unregistered (nothing sent, no event will come). The index is
 * taken as its low 16 bits. */
PARDBPROTO_API bool ProtParDBReqSignature(ProtParDBHandle handle);
PARDBPROTO_API bool ProtParDBReqStore(ProtParDBHandle handle);
PARDBPROTO_API bool ProtParDBReqRead(ProtParDBHandle handle, int index);
/* A write of 0 bytes (or of null data) is refused: false. */
PARDBPROTO_API bool ProtParDBReqWrite(ProtParDBHandle handle, int index, const void* data,
                                      size_t length);

#ifdef __cplusplus
}  /* extern "C" */
static_assert(sizeof(ProtParDBReadResult) == 24 && offsetof(ProtParDBReadResult, data) == 8 &&
              offsetof(ProtParDBReadResult, length) == 16);
static_assert(sizeof(ProtParDBWriteResult) == 8 && offsetof(ProtParDBWriteResult, result) == 4);
#endif

#endif
