#include "plat/console.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace plat {

Handle standardInput() { return STDIN_FILENO; }
Handle standardOutput() { return STDOUT_FILENO; }

bool isOpenHandle(Handle h) { return h >= 0 && ::fcntl(h, F_GETFD) >= 0; }

bool isTerminal(Handle h) { return h >= 0 && ::isatty(h) == 1; }

void ignoreBrokenPipe() {
  struct sigaction action = {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGPIPE, &action, nullptr);
}

long readConsole(Handle h, void* buffer, size_t capacity) {
  while (true) {
    const ssize_t n = ::read(h, buffer, capacity);
    if (n >= 0) return long(n);
    if (errno != EINTR) return -1;
  }
}

bool writeConsole(Handle h, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = ::write(h, p, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    length -= size_t(n);
  }
  return true;
}

int openPseudoTerminal(Handle* master, Handle* slave, std::string* slavePath) {
  *master = kInvalidHandle;
  *slave = kInvalidHandle;
  const int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m < 0) return lastSystemError();
  char name[128];
  if (::grantpt(m) != 0 || ::unlockpt(m) != 0 || ::ptsname_r(m, name, sizeof name) != 0) {
    const int code = lastSystemError();
    ::close(m);
    return code;
  }
  const int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s < 0) {
    const int code = lastSystemError();
    ::close(m);
    return code;
  }
  struct termios mode;
  if (::tcgetattr(s, &mode) == 0) {
    mode.c_lflag |= ICANON;
    mode.c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHOK | ECHONL);
    mode.c_oflag &= ~tcflag_t(OPOST);
    ::tcsetattr(s, TCSANOW, &mode);
  }
  *master = m;
  *slave = s;
  *slavePath = name;
  return 0;
}

char endOfInputCharacter() { return 0x04; }

}  // namespace plat
