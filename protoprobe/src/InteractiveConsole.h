// The skeleton the interactive protocol consoles share: the help argument,
// the output check, registration and the wait for the first event, the
// command loop on standard input, and the endings ("Aborted" -12, the end
// of input, "Remote connection timed out" -10), each of which stops the
// console's workers and unregisters before it returns.
//
// A console derives from it, names its commands and talks to its library;
// its event printer (on the library's threads) calls printEvent, which
// stamps the line and raises the reply event, and setAbort for an event it
// does not know.
//
// Threads: run on the main thread; printEvent, echo and setAbort on any.
#pragma once

#include <iosfwd>
#include <mutex>
#include <string>
#include <vector>

#include "ProtocolConsoles.h"
#include "plat/threadsafety.h"
#include "translayer/Event.h"

namespace protoprobe {

class InteractiveConsole {
 public:
  explicit InteractiveConsole(std::ostream& out) : printer_(out) {}
  virtual ~InteractiveConsole() = default;

  // The console with its arguments (what follows its name), reading
  // commands from `in`. With `checkOutput` it first makes sure standard
  // output is a terminal.
  int run(const std::vector<std::string>& args, std::istream& in, bool checkOutput = true);

  // "< text", stamped; then the reply event.
  void printEvent(const std::string& text);
  // "> line", stamped: a command about to call the library.
  void echo(const std::string& line);
  void setAbort();

  static constexpr int kAborted = -12;
  static constexpr int kConnectTimedOut = -10;

 protected:
  enum class Outcome { kDone, kAbort };

  // The lines of the help text after "Available console commands:".
  virtual std::vector<std::string> helpLines() const = 0;
  // Registers with the library, the console's event printer as callback;
  // false when no handle came back.
  virtual bool registerLibrary() = 0;
  virtual void unregisterLibrary() = 0;
  // A line whose first word is neither "quit" nor "help"; unknown words are
  // ignored (kDone).
  virtual Outcome command(const std::vector<std::string>& words, const std::string& line) = 0;
  // Before each line is looked at (an empty one too).
  virtual void beforeEachLine() {}
  // The end of input: the result (kAborted prints "Aborted").
  virtual int atEndOfInput() { return 0; }
  // Stops what the console runs beside the loop; before unregistering.
  virtual void stopWorkers() {}

  StampedPrinter& printer() { return printer_; }
  translayer::Event& replyEvent() { return reply_; }
  // Also guards the abort flag.
  plat::Mutex& stateMutex() RETURN_CAPABILITY(stateMutex_) { return stateMutex_; }
  int connectWaitMs_ = 5000;

 private:
  void printHelp();
  bool aborted();
  int end(int result);

  StampedPrinter printer_;
  translayer::Event reply_;
  plat::Mutex stateMutex_;
  bool abort_ GUARDED_BY(stateMutex_) = false;
};

// Words of a line, split at white space.
std::vector<std::string> splitWords(const std::string& line);

}  // namespace protoprobe
