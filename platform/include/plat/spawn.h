// Starting another program that lives on its own (the firmware updater the
// device list launches): no shell, nothing of this process's signal state,
// no descriptor but 0-2, and no zombie left behind.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace plat {

// Splits a configured command into words: words are separated by spaces and
// tabs; a double quote starts a part that runs to the next double quote (no
// escapes) and may hold blanks; `a"b c"d` is the one word `ab cd`, `""` an
// empty word. False (and *words untouched) for an unbalanced quote or a text
// without any word.
bool splitCommandWords(const std::string& text, std::vector<std::string>* words);

// Starts argv[0] with the arguments argv[1..] and this process's environment,
// in a session of its own, with an empty signal mask and default signal
// dispositions and every descriptor above 2 closed. A name without '/' is
// looked up in PATH. The program is the child of a short-lived intermediate
// process, so it is never this process's zombie. Returns 0 once the program
// runs (its exec succeeded), else the Win32 code of what failed (2 not found,
// 5 not executable, 87 an empty argv, ...). *pid: the started program's id.
int spawnDetached(const std::vector<std::string>& argv, int* pid = nullptr);

// Runs `body` in a forked child whose standard error goes to /dev/null and
// that exits 0 when `body` returns: true only for that. A child that crashes,
// aborts or is still running after `timeoutMs` (it is then killed) gives
// false. Call before any thread exists: the child runs only `body`.
bool probeInChild(const std::function<void()>& body, int timeoutMs);

}  // namespace plat
