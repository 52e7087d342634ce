#include "plat/handle.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "plat/errors.h"

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
    case 0:
      return 0;
    case ENOENT:
    case ECONNREFUSED:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
    case ENOBUFS:
      return kErrorNotEnoughMemory;
    case EROFS:
      return kErrorWriteProtect;
    case EINVAL:
      return kErrorInvalidParameter;
    case EPIPE:
    case ECONNRESET:
      return kErrorBrokenPipe;
    case ENOSPC:
      return kErrorDiskFull;
    case EEXIST:
    case EADDRINUSE:
      return kErrorAlreadyExists;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case EAGAIN:
      return kErrorPipeBusy;
    case ENOTCONN:
      return kErrorPipeNotConnected;
    case ELOOP:
      return kErrorCantResolveFilename;
    default:
      return kErrorGenFailure;
  }
}

}  // namespace plat
