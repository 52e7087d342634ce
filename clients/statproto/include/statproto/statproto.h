/* Status client: keeps a channel of the device's status service (protocol
 * id 4) open while the device is registered, reconnecting it by itself, and
 * turns the device's messages into callback events.
 *
 * Events (handle, event, data, length); pointers are valid only during the
 * call:
 *   0  channel down; data null, length the reason: 1 unregistered, 2 the
 *      channel broke (or the device sent a message outside the rules),
 *      3 an awaited message did not come within 1 s
 *   1  channel up; data null, length 0. Notifications must be asked for
 *      again after every event 1.
 *   2  signature: 16 bytes, length 16
 *   3  active events: ProtStatusList of ascending event numbers, length 16
 *   4  power states: ProtStatusList of values, length 16
 *   5  status text: ProtStatusText (a pointer to the NUL-terminated text),
 *      length 8
 *
 * Threads: events 0 (reasons 2, 3) and 1 come on the library's handler
 * thread, events 2 to 5 on the channel's pipe thread, event 0 with reason 1
 * on the thread that unregisters. Callbacks run with library locks held:
 * they must not register, unregister, or make a request on the same handle.
 * A null callback means no events.
 *
 * Handles belong to the library: registering an id again gives the same
 * handle (and the first callback); it is freed once every registration of
 * it is undone. The first ProtStatusUnRegister disconnects it; requests on
 * it then return false.
 *
 * Misuse stops the process with an assertion: a hardware id length other
 * than 16 ("sizeof(inhwid.id) == _hwidsz"), an unregistration or request
 * while nothing is registered ("ch"). */
#ifndef STATPROTO_STATPROTO_H
#define STATPROTO_STATPROTO_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(STATPROTO_BUILD)
#define STATPROTO_API __declspec(dllexport)
#else
#define STATPROTO_API __declspec(dllimport)
#endif
#else
#define STATPROTO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define PROT_STATUS_HWID_SIZE 16

enum {
  PROT_STATUS_EVENT_DOWN = 0,
  PROT_STATUS_EVENT_UP = 1,
  PROT_STATUS_EVENT_SIGNATURE = 2,
  PROT_STATUS_EVENT_EVENTS = 3,
  PROT_STATUS_EVENT_POWER = 4,
  PROT_STATUS_EVENT_TEXT = 5
};

enum {
  PROT_STATUS_DOWN_UNREGISTERED = 1,
  PROT_STATUS_DOWN_BROKEN = 2,
  PROT_STATUS_DOWN_TIMEOUT = 3
};

/* Events 3 and 4. */
typedef struct ProtStatusList {
  uint16_t count;
  uint8_t padding[6];
  const uint16_t* values;
} ProtStatusList;

/* Event 5. */
typedef struct ProtStatusText {
  const char* text;
} ProtStatusText;

typedef struct StatusCmdProc* ProtStatusHandle;
typedef void (*ProtStatusCallback)(ProtStatusHandle handle, uint64_t event, const void* data,
                                   uint64_t length);

/* Never null; the channel comes up later (event 1). */
STATPROTO_API ProtStatusHandle ProtStatusRegister(const uint8_t* hwid, size_t hwidsz,
                                                  ProtStatusCallback callback);
STATPROTO_API void ProtStatusUnRegister(ProtStatusHandle handle);
/* True when the request went to the channel; false when disconnected,
 * broken or unregistered (nothing sent). */
STATPROTO_API bool ProtStatusReqSignature(ProtStatusHandle handle);
STATPROTO_API bool ProtStatusReqNotifications(ProtStatusHandle handle);

#ifdef __cplusplus
} /* extern "C" */
static_assert(sizeof(ProtStatusList) == 16 && offsetof(ProtStatusList, values) == 8);
static_assert(sizeof(ProtStatusText) == 8);
#endif

#endif
