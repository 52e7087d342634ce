// Message pipes: AF_UNIX SOCK_SEQPACKET, one record per pipe message, at most
// kPipeRecordLimit bytes a record. Names are given in Windows form
// (\\.\pipe\x\y or \pipe\x\y) and mapped under <runtime dir>/pipe/ (see
// runtime.h). Results are Win32 error codes (0 success).
#pragma once

#include <cstddef>
#include <string>

#include "plat/handle.h"

namespace plat {

inline constexpr size_t kPipeRecordLimit = 1025;

// Creates the listening end of a pipe (mode 0700 parent dirs, the socket file
// removed first if stale). The listener accepts one peer.
int pipeListen(const std::string& windowsName, Handle* listener);
// Waits at most timeoutMs (-1: no limit) for the one peer; on success the
// listener is closed and its file removed. 258 (WAIT_TIMEOUT) when none came;
// a peer of another user is refused and the wait goes on.
int pipeAccept(Handle listener, Handle* connection, int timeoutMs);
// Connects to a listening pipe by name (2 when no such pipe, 231 busy).
int pipeConnect(const std::string& windowsName, Handle* connection);
// Removes the file of a listener that will not be accepted on, and closes it.
void pipeAbandon(Handle listener);

enum class PipeIo {
  kDone,        // a whole record moved; *n bytes
  kWouldBlock,  // nothing now; wait for readiness
  kClosed,      // the peer closed (a read of 0 bytes or a hang-up)
  kTooLong,     // a record over the buffer arrived (MSG_TRUNC); the channel ends
  kError,
};
// Non-blocking record I/O, MSG_NOSIGNAL on writes.
PipeIo pipeRead(Handle h, void* buffer, size_t capacity, size_t* n);
PipeIo pipeWrite(Handle h, const void* data, size_t length, size_t* n);

}  // namespace plat
