// Test support: a helper program run as a child process, with its standard
// input and output on pipes. Helpers print "ready" once they serve, report
// what they saw one line at a time, and end when their standard input closes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace plat::test {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // closes stdin, then kills the child if it does not end within 10 s
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` with `args` (the environment is this process's).
  bool start(const std::string& program, const std::vector<std::string>& args);
  // The next line of the child's output without its '\n'; false when none
  // came within timeoutMs or the output ended.
  bool readLine(std::string* line, int timeoutMs = 20000);
  // Reads lines until one equals `wanted`; false at the end or time-out.
  bool waitFor(const std::string& wanted, int timeoutMs = 20000);
  void closeStdin();
  // Waits for the child to end; its exit status (128 + signal when killed by
  // one), or -1 when it did not end within timeoutMs.
  int wait(int timeoutMs = 20000);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffered_;
  int status_ = -1;
};

}  // namespace plat::test
