#include "rpc_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

extern char** environ;

namespace plat::test {

ChildProcess::~ChildProcess() {
  closeStdin();
  if (pid_ > 0 && wait(10000) < 0) {
    ::kill(pid_, SIGKILL);
    wait(10000);
  }
  if (out_ >= 0) ::close(out_);
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args) {
  int inPipe[2], outPipe[2];
  if (::pipe2(inPipe, O_CLOEXEC) != 0) return false;
  if (::pipe2(outPipe, O_CLOEXEC) != 0) {
    ::close(inPipe[0]);
    ::close(inPipe[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  if (rc != 0) {
    ::close(inPipe[1]);
    ::close(outPipe[0]);
    return false;
  }
  pid_ = pid;
  in_ = inPipe[1];
  out_ = outPipe[0];
  return true;
}

bool ChildProcess::readLine(std::string* line, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t nl = buffered_.find('\n');
    if (nl != std::string::npos) {
      *line = buffered_.substr(0, nl);
      buffered_.erase(0, nl + 1);
      return true;
    }
    if (out_ < 0) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{out_, POLLIN, 0};
    int r = ::poll(&p, 1, int(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char buf[512];
    ssize_t n = ::read(out_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffered_.append(buf, size_t(n));
  }
}

bool ChildProcess::waitFor(const std::string& wanted, int timeoutMs) {
  std::string line;
  while (readLine(&line, timeoutMs))
    if (line == wanted) return true;
  return false;
}

void ChildProcess::closeStdin() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

int ChildProcess::wait(int timeoutMs) {
  if (pid_ <= 0) return status_;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (r < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace plat::test
