#include "plat/process.h"

#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "plat/errors.h"
#include "plat/handle.h"

namespace plat {

int signalProcess(int pid, ProcessSignal signal) {
  if (pid <= 0) return kErrorInvalidParameter;
  int number = SIGTERM;
  switch (signal) {
    case ProcessSignal::kInterrupt:
      number = SIGINT;
      break;
    case ProcessSignal::kTerminate:
      number = SIGTERM;
      break;
    case ProcessSignal::kKill:
      number = SIGKILL;
      break;
  }
  if (::kill(pid_t(pid), number) == 0) return 0;
  if (errno == ESRCH) return kErrorFileNotFound;
  return lastSystemError();
}

int processCpuSeconds(int pid, double* seconds) {
  *seconds = 0;
  if (pid <= 0) return kErrorInvalidParameter;
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  FILE* f = std::fopen(path.c_str(), "re");
  if (!f) return kErrorFileNotFound;
  char line[1024] = {};
  const size_t n = std::fread(line, 1, sizeof line - 1, f);
  std::fclose(f);
  line[n] = 0;
  // The name in parentheses may hold blanks and parentheses itself: the
  // fields are counted from the last ')'.
  const char* at = std::strrchr(line, ')');
  if (!at) return kErrorGenFailure;
  unsigned long long utime = 0, stime = 0;
  // After ")": state, then fields 4..13, then utime (14) and stime (15).
  if (std::sscanf(at + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                  &stime) != 2)
    return kErrorGenFailure;
  const long ticks = ::sysconf(_SC_CLK_TCK);
  if (ticks <= 0) return kErrorGenFailure;
  *seconds = double(utime + stime) / double(ticks);
  return 0;
}

int processResidentBytes(int pid, unsigned long long* bytes) {
  *bytes = 0;
  if (pid <= 0) return kErrorInvalidParameter;
  const std::string path = "/proc/" + std::to_string(pid) + "/statm";
  FILE* f = std::fopen(path.c_str(), "re");
  if (!f) return kErrorFileNotFound;
  unsigned long long size = 0, resident = 0;
  const int fields = std::fscanf(f, "%llu %llu", &size, &resident);
  std::fclose(f);
  if (fields != 2) return kErrorGenFailure;
  const long page = ::sysconf(_SC_PAGESIZE);
  if (page <= 0) return kErrorGenFailure;
  *bytes = resident * (unsigned long long)page;
  return 0;
}

int currentProcessId() { return int(::getpid()); }

std::string currentProgramPath() {
  // The link names the file that was executed, with every symbolic link on
  // the way resolved.
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return "";
    if (size_t(n) < buffer.size()) {
      std::string path(buffer.data(), size_t(n));
      // A program file replaced or removed while it runs (an update) is
      // named with this mark; its name is still the one it was started as.
      static constexpr char kDeleted[] = " (deleted)";
      const size_t mark = sizeof kDeleted - 1;
      struct stat st;
      if (path.size() > mark && path.compare(path.size() - mark, mark, kDeleted) == 0 &&
          ::lstat(path.c_str(), &st) != 0)
        path.resize(path.size() - mark);
      return path;
    }
    if (buffer.size() >= (size_t(1) << 16)) return "";
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace plat
