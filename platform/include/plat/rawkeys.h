// Key-by-key input from a terminal: no echo, no line buffering, the signal
// keys and the CR translation off, so Ctrl-C arrives as the byte 3 and Enter
// as 13. Output settings stay as they are.
//
// The terminal's previous mode comes back on every way out: restore(), the
// destructor, exit(), and the signals that end a process (SIGTERM, SIGINT,
// SIGHUP, SIGQUIT and the crash signals), which then go on with their
// default action. SIGKILL cannot be caught; nothing can restore after it.
//
// One RawKeyboard may be active in a process at a time (a second enter()
// fails with 170, ERROR_BUSY). Threads: enter, readKey and restore on one
// thread; the signal path runs on whichever thread takes the signal.
#pragma once

#include "plat/handle.h"

namespace plat {

class RawKeyboard {
 public:
  RawKeyboard() = default;
  ~RawKeyboard();
  RawKeyboard(const RawKeyboard&) = delete;
  RawKeyboard& operator=(const RawKeyboard&) = delete;

  // Reads keys from `h` from now on. A terminal is put into raw mode; any
  // other input (a pipe, a file) is read byte by byte as it is. Win32 code,
  // 0 on success.
  int enter(Handle h);
  // True while a terminal is in raw mode through this object.
  bool raw() const { return raw_; }
  // The next key (0..255), waiting for it; -1 at the end of input or on a
  // read error.
  int readKey();
  // Puts the terminal back as enter() found it; harmless when not raw.
  void restore();

 private:
  Handle input_ = kInvalidHandle;
  bool raw_ = false;
};

}  // namespace plat
