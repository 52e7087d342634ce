/* A stand-in for a registration library, for the runtime's tests: the same
 * shape of exports (register by id with a callback, unregister by handle)
 * plus a way to emit events. Handles are slots of a small table, the lowest
 * free one first, so a freed handle is reused by the next registration.
 * Events are passed to the callback on the library's own worker thread;
 * FakeUnRegister calls back with event 0, length 1 on the caller's thread,
 * as the real libraries do. With FAKECB_LOG naming a file, every library
 * registration and unregistration is appended to it ("register HEX",
 * "unregister HEX"), so a test can count them after the library is gone. */
#ifndef FAKECB_H
#define FAKECB_H

#include <stddef.h>
#include <stdint.h>

#define FAKECB_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*FakeCallback)(void* handle, uint64_t event, const void* data, uint64_t size);

/* Null when size is not 16 or the table is full; an id registered twice
 * gets its handle again and a second count, as the real libraries do. */
FAKECB_API void* FakeRegister(const uint8_t* id, size_t size, FakeCallback callback);
/* Undoes one registration; the slot is freed with its last one. */
FAKECB_API void FakeUnRegister(void* handle);
/* Passes (event, data) to the callback of the id's registration on the worker
 * thread and returns once the callback has returned; 0 when the id is not
 * registered. */
FAKECB_API int FakeEmit(const uint8_t* id, size_t size, uint64_t event, const void* data,
                        uint64_t length);
/* Library registrations of the id so far (never decreases). */
FAKECB_API int FakeRegisterCount(const uint8_t* id, size_t size);
/* The slot number + 1 of a live handle, else 0. */
FAKECB_API int FakeQuery(void* handle);

#ifdef __cplusplus
}
#endif

#endif
