#include "plat/privatefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "plat/errors.h"
#include "plat/handle.h"

namespace plat {

int writePrivateFile(const std::string& path, const void* data, size_t length) {
  if (path.empty() || path.find('\0') != std::string::npos) return kErrorInvalidName;
  const int fd = ::open(path.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return errno == ELOOP ? kErrorAccessDenied : lastSystemError();
  struct stat st {};
  int code = 0;
  if (::fstat(fd, &st) != 0) {
    code = lastSystemError();
  } else if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    ::close(fd);
    return kErrorAccessDenied;  // not ours to truncate further or remove
  } else if (::fchmod(fd, 0600) != 0) {
    code = lastSystemError();
  }
  const char* p = static_cast<const char*>(data);
  size_t left = code == 0 ? length : 0;
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      code = lastSystemError();
      break;
    }
    p += n;
    left -= size_t(n);
  }
  if (::close(fd) != 0 && code == 0) code = lastSystemError();
  if (code != 0) ::unlink(path.c_str());
  return code;
}

}  // namespace plat
