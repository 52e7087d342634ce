#include "plat/handle.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace plat {

void closeHandle(Handle h) {
  if (h == kInvalidHandle) return;
  // Linux releases the descriptor even when close reports EINTR, so it is
  // never retried.
  ::close(h);
}

int setBlocking(Handle h, bool blocking) {
  int flags = ::fcntl(h, F_GETFL);
  if (flags < 0) return lastSystemError();
  int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (wanted != flags && ::fcntl(h, F_SETFL, wanted) < 0) return lastSystemError();
  return 0;
}

int lastSystemError() {
  switch (errno) {
    case 0: return 0;
    case ENOENT: case ECONNREFUSED: return 2;     // ERROR_FILE_NOT_FOUND
    case ENOTDIR: return 3;                       // ERROR_PATH_NOT_FOUND
    case EMFILE: case ENFILE: return 4;           // ERROR_TOO_MANY_OPEN_FILES
    case EACCES: case EPERM: return 5;            // ERROR_ACCESS_DENIED
    case EBADF: return 6;                         // ERROR_INVALID_HANDLE
    case ENOMEM: case ENOBUFS: return 8;          // ERROR_NOT_ENOUGH_MEMORY
    case EROFS: return 19;                        // ERROR_WRITE_PROTECT
    case EINVAL: return 87;                       // ERROR_INVALID_PARAMETER
    case EPIPE: case ECONNRESET: return 109;      // ERROR_BROKEN_PIPE
    case ENOSPC: return 112;                      // ERROR_DISK_FULL
    case EEXIST: case EADDRINUSE: return 183;     // ERROR_ALREADY_EXISTS
    case ENAMETOOLONG: return 206;                // ERROR_FILENAME_EXCED_RANGE
    case EAGAIN: return 231;                      // ERROR_PIPE_BUSY
    case ENOTCONN: return 233;                    // ERROR_PIPE_NOT_CONNECTED
    case ELOOP: return 1921;                      // ERROR_CANT_RESOLVE_FILENAME
    default: return 31;                           // ERROR_GEN_FAILURE
  }
}

}  // namespace plat
