#include "ParamDbConsole.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>

#include "HexText.h"
#include "InteractiveConsole.h"
#include "StatusConsole.h"
#include "pardbproto/pardbproto.h"
#include "plat/threadsafety.h"
#include "translayer/Event.h"
#include "translayer/ThreadBase.h"

using translayer::Event;
using translayer::HwId;
using translayer::ThreadBase;

namespace protoprobe {

namespace {

std::string invalidLength(uint64_t length) { return "Invalid lenght: " + std::to_string(length); }

// Lower-case hex, zero-filled to at least `width` digits.
std::string hexOf(uint64_t value, size_t width) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value & 15]);
    value >>= 4;
  } while (value);
  if (text.size() < width) text.insert(0, width - text.size(), '0');
  return text;
}

}  // namespace

bool parseParamIndex(const std::string& text, uint16_t* index) {
  const std::vector<uint8_t> bytes = hexToBytes(text);
  if (bytes.size() != 2) return false;
  *index = uint16_t(bytes[0] << 8 | bytes[1]);
  return true;
}

std::string parDbEventText(uint64_t event, const void* data, uint64_t length, bool* known) {
  *known = true;
  switch (event) {
    case PROT_PARDB_EVENT_DOWN:
      return "DIS (" + std::to_string(length) + ")";
    case PROT_PARDB_EVENT_UP:
      return "CON";
    case PROT_PARDB_EVENT_SIGNATURE:
      if (length != 16 || !data) return "SIG: " + invalidLength(length);
      return "SIG: " + hexDump(static_cast<const uint8_t*>(data), 16);
    case PROT_PARDB_EVENT_STORE: {
      if (length != 4 || !data) return "STO: " + invalidLength(length);
      uint32_t result = 0;
      std::memcpy(&result, data, sizeof result);
      return "STO: " + std::to_string(result);
    }
    case PROT_PARDB_EVENT_READ: {
      if (length != sizeof(ProtParDBReadResult) || !data) return "RD : " + invalidLength(length);
      const auto* read = static_cast<const ProtParDBReadResult*>(data);
      return "RD :  idx=0x" + hexOf(read->index, 4) + ", sz=0x" + hexOf(read->length, 4) +
             ", dat=" + (read->data ? hexDump(read->data, size_t(read->length)) : std::string());
    }
    case PROT_PARDB_EVENT_WRITE: {
      if (length != sizeof(ProtParDBWriteResult) || !data) return "WR : " + invalidLength(length);
      const auto* write = static_cast<const ProtParDBWriteResult*>(data);
      return "WR :  idx=0x" + hexOf(write->index, 4) + ", res=0x" + hexOf(write->result, 2);
    }
    default:
      *known = false;
      return "Unknown event ID: " + std::to_string(event);
  }
}

namespace {

class ParamDbConsole;

// Re-reads the indices the event printer hands it, one after the other, on
// its own thread: the library must not be called from its callback.
class AutoRead final : public ThreadBase {
 public:
  explicit AutoRead(ParamDbConsole& console) : ThreadBase("ChannelHandler"), console_(console) {
    start();
  }
  ~AutoRead() override { stop(); }

  void requeue(uint16_t index) {
    {
      plat::LockGuard lock(mutex_);
      fifo_.push_back(index);
    }
    wake_.set();
  }
  void stop() {
    {
      plat::LockGuard lock(mutex_);
      stop_ = true;
    }
    wake_.set();
    join();
  }

 protected:
  void run() override;

 private:
  ParamDbConsole& console_;
  plat::Mutex mutex_;
  std::deque<uint16_t> fifo_;  // guarded by mutex_
  bool stop_ = false;          // guarded by mutex_
  Event wake_;
};

class ParamDbConsole : public InteractiveConsole {
 public:
  ParamDbConsole(const HwId& hwid, std::ostream& out) : InteractiveConsole(out), hwid_(hwid) {}

  static void onEvent(ProtParDBHandle, uint64_t event, const void* data, uint64_t length) {
    ParamDbConsole* console = active_.load();
    if (console) console->event(event, data, length);
  }

  // AutoRead's thread: the next read of an index still on display.
  void reread(uint16_t index) {
    {
      plat::LockGuard lock(stateMutex());
      if (!autoreadActive_ || std::find(list_.begin(), list_.end(), index) == list_.end()) return;
      ++pending_;
    }
    if (!ProtParDBReqRead(handle_, index)) {
      plat::LockGuard lock(stateMutex());
      --pending_;
    }
  }

 protected:
  std::vector<std::string> helpLines() const override {
    return {"  reqsignature",
            "  reqstore",
            "  read <index>",
            "  autoread <index> [<index> [<index>]]",
            "  write <index> <data>",
            "  quit",
            "",
            "Example:",
            "  read 000b"};
  }
  bool registerLibrary() override {
    active_ = this;
    handle_ = ProtParDBRegister(hwid_.id, sizeof hwid_.id, &ParamDbConsole::onEvent);
    if (!handle_) return false;
    auto worker = std::make_unique<AutoRead>(*this);
    plat::LockGuard lock(stateMutex());
    autoRead_ = std::move(worker);
    return true;
  }
  void unregisterLibrary() override {
    if (handle_) ProtParDBUnRegister(handle_);
    handle_ = nullptr;
    active_ = nullptr;
  }
  void stopWorkers() override {
    endAutoread();
    std::unique_ptr<AutoRead> worker;
    {
      plat::LockGuard lock(stateMutex());
      worker = std::move(autoRead_);
    }
    if (worker) worker->stop();
  }
  void beforeEachLine() override {
    endAutoread();
    plat::LockGuard lock(stateMutex());
    autoreadStopped_ = false;
  }
  int atEndOfInput() override {
    {
      plat::LockGuard lock(stateMutex());
      if (autoreadStopped_) return kAborted;
    }
    // Re-reads end first; those already taken are waited for like the rest.
    endAutoread();
    while (pendingReplies() > 0) {
      if (replyEvent().timedWait(kReplyWaitMs)) {
        printer().print("Timed out on receiving");
        return kTimedOutOnReceiving;
      }
    }
    return 0;
  }
  Outcome command(const std::vector<std::string>& words, const std::string& line) override {
    const std::string& word = words[0];
    if (word == "reqsignature") {
      echo(line);
      return counted([this] { return ProtParDBReqSignature(handle_); });
    }
    if (word == "reqstore") {
      echo(line);
      return counted([this] { return ProtParDBReqStore(handle_); });
    }
    if (word == "read" || word == "write") {
      uint16_t index = 0;
      if (words.size() < 2 || !parseParamIndex(words[1], &index)) return Outcome::kAbort;
      if (word == "read") {
        echo(line);
        return counted([this, index] { return ProtParDBReqRead(handle_, index); });
      }
      if (words.size() < 3) return Outcome::kAbort;
      const std::vector<uint8_t> data = hexToBytes(words[2]);
      echo(line);
      return counted([&] { return ProtParDBReqWrite(handle_, index, data.data(), data.size()); });
    }
    if (word == "autoread") {
      autoread(words, line);
      return Outcome::kDone;
    }
    return Outcome::kDone;
  }

 private:
  static constexpr int kReplyWaitMs = 2500;
  static constexpr int kTimedOutOnReceiving = -11;

  // Counts the request as pending only when the library took it.
  template <typename Request>
  Outcome counted(Request request) {
    {
      plat::LockGuard lock(stateMutex());
      ++pending_;
    }
    if (request()) return Outcome::kDone;
    plat::LockGuard lock(stateMutex());
    --pending_;
    return Outcome::kAbort;
  }

  void autoread(const std::vector<std::string>& words, const std::string& line) {
    echo(line);
    std::vector<uint16_t> list;
    bool stopped = false;
    for (size_t i = 1; i < words.size(); ++i) {
      uint16_t index = 0;
      if (!parseParamIndex(words[i], &index)) {
        stopped = true;
        break;
      }
      list.push_back(index);
    }
    {
      plat::LockGuard lock(stateMutex());
      list_ = list;
      autoreadActive_ = true;
      autoreadStopped_ = stopped;
    }
    for (uint16_t index : list) {
      if (counted([this, index] { return ProtParDBReqRead(handle_, index); }) == Outcome::kAbort) {
        plat::LockGuard lock(stateMutex());
        autoreadStopped_ = true;
        break;
      }
    }
  }

  void endAutoread() {
    plat::LockGuard lock(stateMutex());
    autoreadActive_ = false;
    list_.clear();
  }

  int pendingReplies() {
    plat::LockGuard lock(stateMutex());
    return pending_;
  }

  // The event printer, on the library's threads.
  void event(uint64_t event, const void* data, uint64_t length) {
    bool known = true;
    const std::string text = parDbEventText(event, data, length, &known);
    if (!known) setAbort();
    const bool reply = event >= PROT_PARDB_EVENT_SIGNATURE && event <= PROT_PARDB_EVENT_WRITE;
    std::vector<uint16_t> list;
    bool inPlace = false;
    uint16_t index = 0;
    {
      plat::LockGuard lock(stateMutex());
      if (reply) --pending_;
      if (event == PROT_PARDB_EVENT_READ && length == sizeof(ProtParDBReadResult) && data &&
          autoreadActive_) {
        index = static_cast<const ProtParDBReadResult*>(data)->index;
        inPlace = std::find(list_.begin(), list_.end(), index) != list_.end();
        list = list_;
        // Under the lock: once autoread has ended the worker may go.
        if (inPlace && autoRead_) autoRead_->requeue(index);
      }
    }
    if (!inPlace) {
      printEvent(text);
      return;
    }
    // Line n of the display is the n-th index of the list, below the cursor.
    std::string display;
    size_t down = 0;
    for (uint16_t entry : list) {
      if (entry == index) {
        display += "\r" + text;
        break;
      }
      display += "\x1b[B";
      ++down;
    }
    for (size_t i = 0; i < down; ++i) display += "\x1b[A";
    printer().printPlain(display);
    replyEvent().set();
  }

  // The library's callback has no user pointer: the one running console.
  static std::atomic<ParamDbConsole*> active_;
  const HwId hwid_;
  ProtParDBHandle handle_ = nullptr;
  // Made after registration, stopped before unregistering; the event
  // printer uses it only under stateMutex() while autoread is active.
  std::unique_ptr<AutoRead> autoRead_;
  // Guarded by stateMutex():
  int pending_ = 0;
  bool autoreadActive_ = false;
  bool autoreadStopped_ = false;  // the last autoread line ended early
  std::vector<uint16_t> list_;
};

std::atomic<ParamDbConsole*> ParamDbConsole::active_{nullptr};

void AutoRead::run() {
  for (;;) {
    wake_.wait();
    bool have = false;
    uint16_t index = 0;
    {
      plat::LockGuard lock(mutex_);
      if (stop_) return;
      if (!fifo_.empty()) {
        index = fifo_.front();
        fifo_.pop_front();
        have = true;
      }
    }
    if (have) {
      console_.reread(index);
      wake_.set();  // the next queued index follows at once
    }
  }
}

}  // namespace

int runParamDbConsole(const HwId& hwid, const std::vector<std::string>& args) {
  ParamDbConsole console(hwid, std::cout);
  return console.run(args, std::cin);
}

}  // namespace protoprobe
