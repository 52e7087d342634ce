#include "plat/rawkeys.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "plat/errors.h"

namespace plat {

namespace {

constexpr int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGSEGV,
                                  SIGBUS,  SIGFPE, SIGILL, SIGABRT};
constexpr int kSignalCount = sizeof kEndingSignals / sizeof kEndingSignals[0];

// The one active raw terminal, as plain data the signal path can use.
// `activeInput` is published last and cleared first, so a handler that sees
// it also sees the saved mode.
struct termios savedMode;
std::atomic<int> activeInput{-1};
struct sigaction previousActions[kSignalCount];
bool exitHookInstalled = false;

void putBack() {
  const int fd = activeInput.exchange(-1);
  if (fd >= 0) ::tcsetattr(fd, TCSANOW, &savedMode);
}

void onEndingSignal(int signal) {
  const int saved = errno;
  putBack();
  // SA_RESETHAND made the action the default again: the signal now does
  // what it would have done.
  ::raise(signal);
  errno = saved;
}

void atExit() { putBack(); }

}  // namespace

RawKeyboard::~RawKeyboard() { restore(); }

int RawKeyboard::enter(Handle h) {
  if (raw_ || activeInput.load() >= 0) return kErrorBusy;
  input_ = h;
  if (!::isatty(h)) return h >= 0 ? 0 : kErrorInvalidHandle;
  struct termios mode;
  if (::tcgetattr(h, &mode) != 0) return lastSystemError();
  savedMode = mode;
  mode.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  mode.c_iflag &= ~tcflag_t(ICRNL | INLCR | IGNCR | IXON | ISTRIP | BRKINT);
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;

  if (!exitHookInstalled) {
    ::atexit(atExit);
    exitHookInstalled = true;
  }
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = onEndingSignal;
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < kSignalCount; ++i)
    ::sigaction(kEndingSignals[i], &action, &previousActions[i]);
  activeInput = h;
  if (::tcsetattr(h, TCSANOW, &mode) != 0) {
    const int code = lastSystemError();
    activeInput = -1;
    for (int i = 0; i < kSignalCount; ++i)
      ::sigaction(kEndingSignals[i], &previousActions[i], nullptr);
    return code;
  }
  raw_ = true;
  return 0;
}

int RawKeyboard::readKey() {
  unsigned char key = 0;
  while (true) {
    const ssize_t n = ::read(input_, &key, 1);
    if (n == 1) return key;
    if (n < 0 && errno == EINTR) continue;
    return -1;
  }
}

void RawKeyboard::restore() {
  if (!raw_) return;
  putBack();
  for (int i = 0; i < kSignalCount; ++i)
    ::sigaction(kEndingSignals[i], &previousActions[i], nullptr);
  raw_ = false;
}

}  // namespace plat
