// Stopping another process: the signals a test or tool sends to the programs
// it started (their own side is plat/signals.h); this process's own id and
// program file.
#pragma once

#include <string>

namespace plat {

enum class ProcessSignal {
  kInterrupt,  // as Ctrl-C does
  kTerminate,  // the polite stop
  kKill,       // no chance to clean up
};

// Sends `signal` to the process `pid`. Win32 code: 0, 87 for a pid that is
// not a single process (0 or less), 2 when no such process, 5 when not ours.
int signalProcess(int pid, ProcessSignal signal);

// The processor time (user and system) the process `pid` has used so far, in
// seconds, for benchmarks that weigh a server's cost. Win32 code: 0, 87 for
// a pid of 0 or less, 2 when no such process.
int processCpuSeconds(int pid, double* seconds);

// The memory the process `pid` holds in RAM now, in bytes, for tests and
// benchmarks that watch a server's footprint. Win32 code as above.
int processResidentBytes(int pid, unsigned long long* bytes);

// This process's id.
int currentProcessId();

// The absolute path of the program file this process runs: what the system
// started, whatever name it was started under (a symbolic link of another
// name, or another argv[0], changes nothing). Empty when it cannot be told.
std::string currentProgramPath();

}  // namespace plat
