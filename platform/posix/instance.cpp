#include "plat/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "plat/errors.h"
#include "plat/handle.h"
#include "plat/runtime.h"

namespace plat {

InstanceLock::~InstanceLock() { release(); }

int InstanceLock::acquire(const std::string& name) {
  release();
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos)
    return kErrorInvalidName;
  std::string dir;
  if (int rc = runtimeDir(&dir)) return rc;
  const std::string path = dir + "/" + name + ".lock";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return lastSystemError();
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    const int code = errno == EWOULDBLOCK ? kErrorAlreadyExists : lastSystemError();
    ::close(fd);
    return code;
  }
  fd_ = fd;
  return 0;
}

void InstanceLock::release() {
  if (fd_ < 0) return;
  ::close(fd_);  // drops the flock
  fd_ = -1;
}

}  // namespace plat
