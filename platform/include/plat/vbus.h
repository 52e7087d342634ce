// The virtual USB bus: each emulated device is a listening AF_UNIX
// SOCK_SEQPACKET socket <dir>/<id>.sock, one record per message. These are
// the socket calls of both ends; the record layouts belong to usblink's vbus
// backend (usblink/docs/vbus.md).
//
// Results are Win32 codes (0 success). Every handle made here is non-blocking
// and close-on-exec; the calls that take a time-out wait with poll.
#pragma once

#include <cstddef>
#include <string>

#include "plat/handle.h"

namespace plat {

// True when `id` is a device id: 1 to 64 characters of [A-Za-z0-9_-].
bool vbusValidId(const std::string& id);

// Device side. Publishes a device atomically: binds and listens on the hidden
// name <dir>/.<id>.tmp, then renames it to <dir>/<id>.sock, so a watcher
// never sees a socket that does not listen yet. 123 for a bad id, 206 when the
// socket path is longer than the kernel takes, 183 when <id>.sock exists.
int vbusPublish(const std::string& dir, const std::string& id, Handle* listener);
// Waits at most timeoutMs (-1: no limit) for the host's connection; 258
// (WAIT_TIMEOUT) when none came. A peer of another user is refused and the
// wait goes on. The listener stays open.
int vbusAccept(Handle listener, Handle* connection, int timeoutMs);
// Unplugs: removes <dir>/<id>.sock and closes the listener (either may be
// missing already).
void vbusUnpublish(const std::string& dir, const std::string& id, Handle listener);

// Host side. Connects to a device's socket; a refused connect (the file is
// there but nobody listens yet, or its backlog is full) and a missing file are
// retried for retryMs. 2 when it never came, 5 when the device belongs to
// another user, 206 for a path too long.
int vbusConnect(const std::string& socketPath, int retryMs, Handle* connection);

enum class VbusIo {
  kDone,     // one whole record moved
  kTimeout,  // nothing within the time (at once for a time-out of 0)
  kClosed,   // the peer closed (a read of 0 bytes, a reset, a write to a gone peer)
  kTooLong,  // a record longer than the buffer arrived and was dropped
  kError,    // anything else, an empty record or buffer included
};

// Sends one record (never empty); MSG_NOSIGNAL. timeoutMs: 0 do not wait, -1
// no limit.
VbusIo vbusSend(Handle h, const void* record, size_t length, int timeoutMs);
// Receives one record into buffer; *n its length.
VbusIo vbusReceive(Handle h, void* buffer, size_t capacity, size_t* n, int timeoutMs);

// One record of a batch: the caller's buffer and, once received, the
// record's whole length, which is over `capacity` when the record was cut to
// fit (the bytes past capacity are gone).
struct VbusRecord {
  void* data = nullptr;
  size_t capacity = 0;
  size_t length = 0;
};
// Receives the records that are there, at most `count`, in one system call,
// never waiting. kDone with *done >= 1; kTimeout when none was there; kClosed
// or kError (with *done 0) for what the next record would be.
VbusIo vbusReceiveMany(Handle h, VbusRecord* records, size_t count, size_t* done);
// Sends one record made of `head` then `body` (body may be empty), without
// joining them first. As vbusSend.
VbusIo vbusSendParts(Handle h, const void* head, size_t headLength, const void* body,
                     size_t bodyLength, int timeoutMs);

}  // namespace plat
