// Runs the devshell program as a child process: with standard input from a
// file (the piped loop), or on a pseudo-terminal (the terminal loop). The
// child inherits this process's environment, its runtime directory included.
#pragma once

#include <future>
#include <string>
#include <vector>

#include "plat/handle.h"

namespace shelltest {

struct ShellResult {
  int status = -1;  // as the shell sees it (0..255)
  std::string out;
  std::string err;
};

// Quotes a word for /bin/sh.
std::string shellQuote(const std::string& word);

class ShellRunner {
 public:
  // `workDir` holds the files of the runs (made by the caller).
  ShellRunner(std::string program, std::string workDir)
      : program_(std::move(program)), workDir_(std::move(workDir)) {}

  // Runs to the end with `input` on standard input.
  ShellResult run(const std::vector<std::string>& args, const std::string& input = "");

  std::string commandLine(const std::vector<std::string>& args) const;
  const std::string& workDir() const { return workDir_; }

 private:
  std::string program_;
  std::string workDir_;
  int runs_ = 0;
};

// devshell on a pseudo-terminal: what it writes is read from the terminal's
// other side, what the test types goes to its input. Standard error goes to
// a file.
class TerminalSession {
 public:
  TerminalSession() = default;
  ~TerminalSession();  // ends the input and waits for the child
  TerminalSession(const TerminalSession&) = delete;
  TerminalSession& operator=(const TerminalSession&) = delete;

  // `redirectOutput`: shell redirection of the child's standard output in
  // place of the terminal (e.g. ">&4"); empty keeps the terminal. `prelude`
  // runs in the same shell first.
  bool start(const ShellRunner& runner, const std::vector<std::string>& args,
             const std::string& redirectOutput = "", const std::string& prelude = "");
  // Reads until the output holds `text` after what earlier waits consumed;
  // false when it did not come within `ms`.
  bool waitFor(const std::string& text, int ms = 20000);
  // Everything read from the terminal so far.
  const std::string& transcript() const { return transcript_; }
  // Output after the last waitFor's match.
  std::string unread() const { return transcript_.substr(consumed_); }
  void type(const std::string& text);
  // Types the end-of-input character at the start of a line.
  void endInput();
  // The child's exit status (0..255), or -1 when it did not end within `ms`.
  int wait(int ms = 20000);
  std::string standardError() const;

 private:
  // Bytes read within `ms`: 0 when nothing came.
  long readAvailable(int ms);

  plat::Handle master_ = plat::kInvalidHandle;
  plat::Handle slave_ = plat::kInvalidHandle;
  std::future<int> child_;
  std::string statusFile_;
  std::string errorFile_;
  std::string transcript_;
  size_t consumed_ = 0;
  int status_ = -1;
};

}  // namespace shelltest
