#include "testsupport/ShellRunner.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "plat/console.h"
#include "plat/poll.h"

namespace shelltest {

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int readStatus(const std::string& path) {
  const std::string text = slurp(path);
  return text.empty() ? -1 : std::atoi(text.c_str());
}

}  // namespace

std::string shellQuote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string ShellRunner::commandLine(const std::vector<std::string>& args) const {
  std::string command = shellQuote(program_);
  for (const std::string& a : args) command += " " + shellQuote(a);
  return command;
}

ShellResult ShellRunner::run(const std::vector<std::string>& args, const std::string& input) {
  const std::string base = workDir_ + "/run" + std::to_string(++runs_);
  std::ofstream(base + ".in", std::ios::binary) << input;
  const std::string command = commandLine(args) + " <" + shellQuote(base + ".in") + " >" +
                              shellQuote(base + ".out") + " 2>" + shellQuote(base + ".err") +
                              "; echo $? >" + shellQuote(base + ".rc");
  std::system(command.c_str());
  ShellResult result;
  result.status = readStatus(base + ".rc");
  result.out = slurp(base + ".out");
  result.err = slurp(base + ".err");
  return result;
}

TerminalSession::~TerminalSession() {
  if (child_.valid()) {
    if (master_ != plat::kInvalidHandle) endInput();
    wait();
  }
  plat::closeHandle(slave_);
  plat::closeHandle(master_);
}

bool TerminalSession::start(const ShellRunner& runner, const std::vector<std::string>& args,
                            const std::string& redirectOutput, const std::string& prelude) {
  std::string terminal;
  if (plat::openPseudoTerminal(&master_, &slave_, &terminal) != 0) return false;
  static int sessions = 0;
  const std::string base = runner.workDir() + "/tty" + std::to_string(++sessions);
  statusFile_ = base + ".rc";
  errorFile_ = base + ".err";
  std::string command = prelude.empty() ? "" : prelude + "; ";
  command += runner.commandLine(args) + " <" + shellQuote(terminal) + " " +
             (redirectOutput.empty() ? ">" + shellQuote(terminal) : redirectOutput) + " 2>" +
             shellQuote(errorFile_) + "; echo $? >" + shellQuote(statusFile_);
  child_ = std::async(std::launch::async, [command] { return std::system(command.c_str()); });
  return true;
}

long TerminalSession::readAvailable(int ms) {
  plat::PollItem item{master_, plat::kPollRead, 0};
  if (plat::pollHandles(&item, 1, ms) <= 0) return 0;
  char buffer[4096];
  const long n = plat::readConsole(master_, buffer, sizeof buffer);
  if (n > 0) transcript_.append(buffer, size_t(n));
  return n;
}

bool TerminalSession::waitFor(const std::string& text, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (true) {
    const size_t at = transcript_.find(text, consumed_);
    if (at != std::string::npos) {
      consumed_ = at + text.size();
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    readAvailable(int(std::min<long>(left.count(), 200)));
  }
}

void TerminalSession::type(const std::string& text) {
  plat::writeConsole(master_, text.data(), text.size());
}

void TerminalSession::endInput() {
  const char eof = plat::endOfInputCharacter();
  plat::writeConsole(master_, &eof, 1);
}

int TerminalSession::wait(int ms) {
  if (!child_.valid()) return status_;
  // Reading on while waiting: a child that writes more than the terminal
  // holds would otherwise block and never end.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (child_.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return -1;
    readAvailable(int(std::min<long>(left.count(), 50)));
  }
  child_.get();
  // Whatever the child wrote last, however much it is. The terminal passes
  // it on asynchronously, so nothing read now proves it is all: with our
  // own end of the child's side closed, the end comes as an error once the
  // last writer is gone.
  plat::closeHandle(slave_);
  slave_ = plat::kInvalidHandle;
  while (readAvailable(5000) > 0) {
  }
  status_ = readStatus(statusFile_);
  return status_;
}

std::string TerminalSession::standardError() const { return slurp(errorFile_); }

}  // namespace shelltest
