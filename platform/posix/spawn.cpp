#include "plat/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "plat/errors.h"
#include "plat/handle.h"

extern char** environ;

namespace plat {

bool splitCommandWords(const std::string& text, std::vector<std::string>* words) {
  std::vector<std::string> out;
  std::string word;
  bool inWord = false;
  bool quoted = false;
  for (char c : text) {
    if (quoted) {
      if (c == '"')
        quoted = false;
      else
        word += c;
    } else if (c == '"') {
      quoted = true;
      inWord = true;
    } else if (c == ' ' || c == '\t') {
      if (inWord) out.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quoted) return false;
  if (inWord) out.push_back(std::move(word));
  if (out.empty()) return false;
  *words = std::move(out);
  return true;
}

namespace {

bool isExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The file exec would run; empty with errno set when there is none.
std::string resolveProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = ::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  bool denied = false;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = end > start ? dirs.substr(start, end - start) : std::string(".");
    const std::string candidate = dir + "/" + name;
    if (isExecutableFile(candidate)) return candidate;
    if (::access(candidate.c_str(), F_OK) == 0) denied = true;
    start = end + 1;
  }
  errno = denied ? EACCES : ENOENT;
  return {};
}

// What the helper processes tell the parent through the close-on-exec pipe.
struct Report {
  int32_t kind;  // kPid or kErrno
  int32_t value;
};
enum : int32_t { kPid = 1, kErrno = 2 };

void writeReport(int fd, int32_t kind, int32_t value) {
  Report r{kind, value};
  ssize_t n;
  do n = ::write(fd, &r, sizeof r);
  while (n < 0 && errno == EINTR);
}

void closeFrom(int first, int last) {
  if (first > last) return;
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, unsigned(first), unsigned(last), 0u) == 0) return;
#endif
  for (int fd = first; fd <= last; ++fd) ::close(fd);
}

// In the grandchild: only async-signal-safe calls from here on.
[[noreturn]] void execChild(const char* file, char* const* argv, int reportFd, int maxFd) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int s = 1; s < NSIG; ++s) {
    if (s == SIGKILL || s == SIGSTOP) continue;
    ::sigaction(s, &dfl, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  closeFrom(3, reportFd - 1);
  closeFrom(reportFd + 1, maxFd);
  ::execve(file, argv, environ);
  writeReport(reportFd, kErrno, errno);
  ::_exit(127);
}

}  // namespace

int spawnDetached(const std::vector<std::string>& argv, int* pid) {
  if (argv.empty() || argv[0].empty()) return kErrorInvalidParameter;
  const std::string file = resolveProgram(argv[0]);
  if (file.empty()) return lastSystemError();

  // Everything the children need is made before fork: after it, a child of
  // a threaded process may only make async-signal-safe calls.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  struct rlimit lim {};
  int maxFd = 65535;
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY &&
      lim.rlim_cur < 1u << 20)
    maxFd = int(lim.rlim_cur) - 1;

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return lastSystemError();

  const pid_t middle = ::fork();
  if (middle < 0) {
    const int rc = lastSystemError();
    ::close(fds[0]);
    ::close(fds[1]);
    return rc;
  }
  if (middle == 0) {
    ::close(fds[0]);
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild < 0) {
      writeReport(fds[1], kErrno, errno);
      ::_exit(1);
    }
    if (grandchild == 0) execChild(file.c_str(), args.data(), fds[1], maxFd);
    writeReport(fds[1], kPid, int32_t(grandchild));
    ::_exit(0);
  }

  ::close(fds[1]);
  int32_t startedPid = -1;
  int32_t childErrno = 0;
  // The pipe ends when the program has exec'd (close-on-exec) and the
  // intermediate process has gone.
  for (;;) {
    Report r{};
    const ssize_t n = ::read(fds[0], &r, sizeof r);
    if (n < 0 && errno == EINTR) continue;
    if (n != ssize_t(sizeof r)) break;
    if (r.kind == kPid) startedPid = r.value;
    if (r.kind == kErrno) childErrno = r.value;
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  if (childErrno != 0) {
    errno = childErrno;
    return lastSystemError();
  }
  if (startedPid <= 0) return kErrorGenFailure;
  if (pid) *pid = startedPid;
  return 0;
}

bool probeInChild(const std::function<void()>& body, int timeoutMs) {
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, 2);
      ::close(null);
    }
    body();
    ::_exit(0);
  }
  // A display server that accepts but never answers must not hang start-up.
  const long kStepUs = 10000;
  long waitedUs = 0;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0 && errno != EINTR) return false;
    if (waitedUs >= long(timeoutMs) * 1000) {
      ::kill(child, SIGKILL);
      while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
      return false;
    }
    ::usleep(kStepUs);
    waitedUs += kStepUs;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace plat
