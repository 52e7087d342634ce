// The console as a program with a command loop sees it: its standard
// handles, whether they are a terminal, and line-by-line reads and writes
// that report failure instead of raising signals. The terminal is left in
// whatever mode it is in (canonical, as a rule): a read returns at most one
// line, and a read of 0 bytes is the end of input.
#pragma once

#include <cstddef>
#include <string>

#include "plat/handle.h"

namespace plat {

Handle standardInput();
Handle standardOutput();
// True when `h` is an open descriptor.
bool isOpenHandle(Handle h);
// True when `h` is a terminal.
bool isTerminal(Handle h);

// From here on, a write to a pipe or socket whose reader has gone fails
// (Win32 109) instead of ending the process.
void ignoreBrokenPipe();

// Reads what the console has, at most `capacity` bytes, waiting for it:
// the count (> 0), 0 at the end of input, -1 on failure (lastSystemError()).
// Interruptions by signals are retried.
long readConsole(Handle h, void* buffer, size_t capacity);
// Writes all `length` bytes; false on failure (lastSystemError()).
bool writeConsole(Handle h, const void* data, size_t length);

// For tests of console programs: a new pseudo-terminal. *master is the
// controlling side (what it writes is typed; the program's output is read
// from it), *slavePath the terminal a program is started on. The terminal
// is canonical, with echo and output processing off, so that the master
// reads exactly what the program wrote. *slave keeps the terminal open
// until the caller closes it. Win32 code, 0 on success.
int openPseudoTerminal(Handle* master, Handle* slave, std::string* slavePath);
// The character that, typed at the start of a line, ends the terminal's input.
char endOfInputCharacter();

}  // namespace plat
