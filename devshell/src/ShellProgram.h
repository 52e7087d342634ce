// The device console program: command line, device selection or list, and
// the terminal and piped command loops.
//
// Exit codes: 0 done (list printed, quit, end of input); 1 usage; -2 the
// command line could not be parsed; -3 the console cannot be used; -4 no
// connection server; -5 --single without exactly one device; -6 a command of
// a piped script failed.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "UsrConsole.h"

enum ShellExit : int {
  kExitOk = 0,
  kExitUsage = 1,
  kExitBadCommandLine = -2,
  kExitConsole = -3,
  kExitNoServer = -4,
  kExitNoSingleDevice = -5,
  kExitScriptFailed = -6,
};

// The whole program.
int runDevshell(int argc, char** argv);

// A --device text: exactly 32 hex digits, either case, to 16 bytes; false
// for anything else.
bool decodeHwid(const std::string& text, std::vector<uint8_t>* hwid);

// The terminal loop: prompt, one read (one line) of at most kReadLimit
// bytes, execute, print. A full read whose next read is the line end alone
// is one line; a longer line is dropped. Command errors are printed and the
// loop goes on.
int runInteractive(UsrConsole& console);
// The piped loop: line by line until quit or the end; the first command
// error goes to standard error and ends the script with -6.
int runPiped(UsrConsole& console, std::istream& in);

inline constexpr size_t kReadLimit = 1023;
inline constexpr const char* kLineTooLong = "command line too long, ignored";
