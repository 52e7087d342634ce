// Message pipes: AF_UNIX SOCK_SEQPACKET, one record per pipe message. Names
// are given in Windows form (\\.\pipe\x\y or \pipe\x\y) and mapped under
// <runtime dir>/pipe/ (see runtime.h). Results are Win32 error codes (0
// success). Every handle made here is non-blocking and close-on-exec.
//
// Neither end of this system ever sends an empty record: a read of 0 bytes is
// how the peer's close shows.
#pragma once

#include <cstddef>
#include <string>

#include "plat/handle.h"

namespace plat {

// The longest record the channel pipes carry: a flag byte and 1024 data bytes.
inline constexpr size_t kPipeRecordLimit = 1025;

// Creates the listening end of a pipe: <rt> and the parent directories are
// made mode 0700, a stale socket file of the same name is removed first (183
// when something else has the name). The listener accepts one peer.
int pipeListen(const std::string& windowsName, Handle* listener);
// Waits at most timeoutMs (-1: no limit) for the one peer. On success the
// listener is closed (the handle passed in is no longer valid) and its file
// removed. 258 (WAIT_TIMEOUT) when none came, the listener then stays open.
// A peer of another user is refused and the wait goes on.
int pipeAccept(Handle listener, Handle* connection, int timeoutMs);
// Connects to a listening pipe by name: 2 when no such pipe (or nobody listens
// on it), 231 when its listener has no room, 5 when it is another user's.
int pipeConnect(const std::string& windowsName, Handle* connection);
// Removes the file of a listener that will not be accepted on, and closes it.
void pipeAbandon(Handle listener);
// Two connected ends with no name (socketpair), for in-process channels.
int pipePair(Handle* first, Handle* second);

enum class PipeIo {
  kDone,        // a whole record moved; *n bytes
  kWouldBlock,  // nothing now; wait for readiness
  kClosed,      // the peer closed (a read of 0 bytes, a reset, a write to a gone peer)
  kTooLong,     // a record over the buffer arrived (MSG_TRUNC) and was dropped; the channel ends
  kError,       // anything else, and the refused empty buffer or empty record
};
// Record I/O; MSG_NOSIGNAL on writes, so a gone peer never raises SIGPIPE.
// Blocking or not as the handle is (setBlocking in handle.h).
PipeIo pipeRead(Handle h, void* buffer, size_t capacity, size_t* n);
PipeIo pipeWrite(Handle h, const void* data, size_t length, size_t* n);

// One record of a batch: the caller's buffer (or data), and its length.
struct PipeRecord {
  void* data = nullptr;
  size_t capacity = 0;  // reads: room in data; writes: the record's length
  size_t length = 0;    // reads: the record's length once read
};
// Batched record I/O on a non-blocking handle, one system call where the
// platform has one (recvmmsg, sendmmsg). *done records moved, in order, each
// whole. kDone: the batch ended for want of records or room (fewer than
// `count` moved means the pipe had no more, or no more room, at that moment);
// kWouldBlock: none moved; else what ended the batch after the *done that went
// through (they still count, and are handed on before the channel ends).
PipeIo pipeReadMany(Handle h, PipeRecord* records, size_t count, size_t* done);
PipeIo pipeWriteMany(Handle h, const PipeRecord* records, size_t count, size_t* done);

}  // namespace plat
