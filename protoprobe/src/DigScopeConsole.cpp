#include "DigScopeConsole.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "InteractiveConsole.h"
#include "ProtocolConsoles.h"
#include "scopeproto/scopeproto.h"

using translayer::HwId;

namespace protoprobe {

uint64_t ScopeFileQueue::push(std::string name) {
  std::lock_guard<std::mutex> lock(mutex_);
  names_.emplace_back(next_, std::move(name));
  return next_++;
}

std::optional<std::string> ScopeFileQueue::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (names_.empty()) return std::nullopt;
  std::string name = std::move(names_.front().second);
  names_.erase(names_.begin());
  return name;
}

void ScopeFileQueue::drop(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  names_.erase(std::remove_if(names_.begin(), names_.end(),
                              [id](const auto& entry) { return entry.first == id; }),
               names_.end());
}

size_t ScopeFileQueue::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return names_.size();
}

namespace {

std::string invalidLength(uint64_t length) { return "Invalid lenght: " + std::to_string(length); }

// Numbers as the default stream format prints them, in a stream of their
// own so that no formatting state carries over.
template <typename T>
std::string number(T value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

std::string writeResult(const ProtDigScopeRawResult& raw, ScopeFileQueue& files) {
  const std::optional<std::string> name = files.take();
  if (raw.status != 0) return "ERROR: " + scopeResultText(int(raw.status));
  if (!name) return "ERROR on open for write";
  std::FILE* f = std::fopen(name->c_str(), "wb");
  if (!f) return "ERROR on open for write";
  const size_t written = raw.size ? std::fwrite(raw.data, 1, raw.size, f) : 0;
  const bool closed = std::fclose(f) == 0;
  if (written != raw.size || !closed) return "ERROR on writing";
  return "Written " + std::to_string(raw.size) + " bytes to " + *name;
}

}  // namespace

std::string scopeEventText(uint64_t event, const void* data, uint64_t length, bool* known,
                           ScopeFileQueue& files) {
  *known = true;
  switch (event) {
    case PROT_DIGSCOPE_EVENT_DOWN:
      return "DIS (" + std::to_string(length) + ")";
    case PROT_DIGSCOPE_EVENT_UP:
      return "CON";
    case PROT_DIGSCOPE_EVENT_STATUS: {
      if (length != sizeof(ProtDigScopeStatus) || !data) return invalidLength(length);
      const auto* s = static_cast<const ProtDigScopeStatus*>(data);
      switch (s->state) {
        case 0:
          return "Status : empty";
        case 1:
          return "Status : armed";
        case 2:
          return "Status : running, fill=" + number(s->fill);
        case 3:
          return "Status : valid";
        default:
          return "Status : undefined";
      }
    }
    case PROT_DIGSCOPE_EVENT_CHANNELS: {
      if (length != sizeof(ProtDigScopeChannelList) || !data) return invalidLength(length);
      const auto* list = static_cast<const ProtDigScopeChannelList*>(data);
      if (!(list->maxCaptureTime > 0)) return "Timings : empty//undefined";
      std::string text = "Timings : max capture time: " + number(list->maxCaptureTime) + "sec";
      for (unsigned i = 0; i < list->count; ++i)
        text += ", paridx(" + std::to_string(list->entries[i].parameterIndex) +
                ") = " + number(list->entries[i].time) + "sec";
      return text;
    }
    case PROT_DIGSCOPE_EVENT_PROGRESS: {
      if (length != sizeof(ProtDigScopeProgress) || !data) return invalidLength(length);
      const auto* p = static_cast<const ProtDigScopeProgress*>(data);
      // A total of 0 is no progress at all, not a division by zero.
      const float share = p->total ? float(p->received) / float(p->total) : 0.0f;
      return "Data progress : " + number(double(share) * 100) + "%";
    }
    case PROT_DIGSCOPE_EVENT_RAW: {
      if (length != sizeof(ProtDigScopeRawResult) || !data) return invalidLength(length);
      return "Data completed : " +
             writeResult(*static_cast<const ProtDigScopeRawResult*>(data), files);
    }
    default:
      *known = false;
      return "Unknown event ID: " + std::to_string(event);
  }
}

namespace {

uint8_t edgeOf(const std::string& word) {
  if (word == "fall") return 2;
  if (word == "above") return 3;
  if (word == "below") return 4;
  return 1;  // "rise" and anything else
}

uint8_t modeOf(const std::string& word) {
  static const char* const kModes[] = {"always", "trand", "tror", "gatand", "gator"};
  for (uint8_t i = 0; i < 5; ++i)
    if (word == kModes[i]) return uint8_t(i + 1);
  return 1;
}

// The threshold bytes of a trigger type: a float for "f", else the low
// bytes of a 64-bit integer, as many as the type names.
std::vector<char> thresholdOf(const std::string& type, const std::string& value) {
  if (type == "f") {
    const float f = std::stof(value);
    std::vector<char> bytes(sizeof f);
    std::memcpy(bytes.data(), &f, sizeof f);
    return bytes;
  }
  const long long v = std::stoll(value);
  size_t size = 0;
  if (type == "b") size = 1;
  if (type == "h") size = 2;
  if (type == "l") size = 4;
  if (type == "ll") size = 8;
  std::vector<char> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = char(uint64_t(v) >> (8 * i));
  return bytes;
}

class DigScopeConsole : public InteractiveConsole {
 public:
  DigScopeConsole(const HwId& hwid, std::ostream& out) : InteractiveConsole(out), hwid_(hwid) {}

  static void onEvent(ProtDigScopeHandle, uint64_t event, const void* data, uint64_t length) {
    DigScopeConsole* console = active_.load();
    if (!console) return;
    bool known = true;
    const std::string text = scopeEventText(event, data, length, &known, console->files_);
    if (!known) console->setAbort();
    console->printEvent(text);
  }

 protected:
  std::vector<std::string> helpLines() const override {
    return {"  reqsignature",
            "  getcap",
            "  addchannel <channel> <sampleperiod>",
            "  modifychannel <channel> <sampleperiod>",
            "  removechannel <channel>",
            "  addtrigger b <channel> {rise|fall|above|below} <int8_t_threshold>",
            "  addtrigger h <channel> {rise|fall|above|below} <int16_t_threshold>",
            "  addtrigger l <channel> {rise|fall|above|below} <int32_t_threshold>",
            "  addtrigger ll <channel> {rise|fall|above|below} <int64_t_threshold>",
            "  addtrigger f <channel> {rise|fall|above|below} <float_threshold>",
            "  modifytrigger (arguments same as addtrigger)",
            "  removetrigger <index>",
            "  setparams {always|trand|tror|gatand|gator} <capturetime> <pretrigger>",
            "  arm",
            "  cancel",
            "  getconf <destfilename>",
            "  getdata <destfilename>",
            "  quit"};
  }
  bool registerLibrary() override {
    active_ = this;
    handle_ = ProtDigScopeRegister(hwid_.id, sizeof hwid_.id, &DigScopeConsole::onEvent);
    return handle_ != nullptr;
  }
  void unregisterLibrary() override {
    if (handle_) ProtDigScopeUnRegister(handle_);
    handle_ = nullptr;
    active_ = nullptr;
  }

  Outcome command(const std::vector<std::string>& words, const std::string& line) override {
    static const struct {
      const char* word;
      size_t words;  // the command word and its arguments
    } kCommands[] = {{"reqsignature", 1},  {"getcap", 1},        {"addchannel", 3},
                     {"modifychannel", 3}, {"removechannel", 2}, {"addtrigger", 5},
                     {"modifytrigger", 5}, {"removetrigger", 2}, {"setparams", 4},
                     {"arm", 1},           {"cancel", 1},        {"getconf", 2},
                     {"getdata", 2}};
    const auto* found = std::find_if(std::begin(kCommands), std::end(kCommands),
                                     [&](const auto& c) { return words[0] == c.word; });
    if (found == std::end(kCommands)) return Outcome::kDone;
    echo(line);
    // Missing words and numbers that do not parse end the console as a bad
    // index does, never the process.
    if (words.size() < found->words) return Outcome::kAbort;
    try {
      return perform(words);
    } catch (const std::invalid_argument&) {
      return Outcome::kAbort;
    } catch (const std::out_of_range&) {
      return Outcome::kAbort;
    }
  }

 private:
  void outcome(ScopeResult code, const std::string& success) {
    if (code != 0)
      printer().print("ERROR: " + scopeResultText(code));
    else
      printer().print(success);
  }

  Outcome perform(const std::vector<std::string>& w) {
    const std::string& c = w[0];
    if (c == "reqsignature") {
      uint8_t signature[16];
      if (!ProtDigScopeGetSignature(handle_, signature)) return Outcome::kAbort;
      static const char kDigits[] = "0123456789abcdef";
      std::string text = "< Signature : ";
      for (int i = 0; i < 16; ++i) {
        if (i) text += ", ";
        text += kDigits[signature[i] >> 4];
        text += kDigits[signature[i] & 15];
      }
      printer().print(text);
    } else if (c == "getcap") {
      ProtDigScopeCapabilities caps{};
      const ScopeResult r = ProtDigScopeGetCapabilities(handle_, &caps);
      // The u8 fields as numbers, not characters.
      outcome(r, "< Capabilities : maxchannels=" + std::to_string(unsigned(caps.maxChannels)) +
                     ", maxtriggers=" + std::to_string(unsigned(caps.maxTriggers)) +
                     ", basesamplesize=" + std::to_string(unsigned(caps.baseSampleSize)) +
                     ", timebase=" + number(caps.timeBase) +
                     ", buffersize=" + std::to_string(caps.bufferSize));
    } else if (c == "addchannel" || c == "modifychannel") {
      const int channel = int(std::stol(w[1], nullptr, 10) & 0xFFFF);
      const float period = std::stof(w[2]);
      if (c == "addchannel")
        outcome(ProtDigScopeAddChannel(handle_, channel, period), "< added channel");
      else
        outcome(ProtDigScopeModifyChannel(handle_, channel, period), "< channel modified");
    } else if (c == "removechannel") {
      const int channel = int(std::stol(w[1], nullptr, 10) & 0xFF);
      outcome(ProtDigScopeRemoveChannel(handle_, channel), "< channel removed");
    } else if (c == "addtrigger" || c == "modifytrigger") {
      const int channel = int(std::stol(w[2], nullptr, 10) & 0xFFFF);
      const uint8_t edge = edgeOf(w[3]);
      const std::vector<char> threshold = thresholdOf(w[1], w[4]);
      auto call = c == "addtrigger" ? ProtDigScopeAddTrigger : ProtDigScopeModifyTrigger;
      outcome(call(handle_, channel, edge, threshold.data(), threshold.size()), "< set trigger");
    } else if (c == "removetrigger") {
      const int index = int(std::stol(w[1], nullptr, 10) & 0xFF);
      outcome(ProtDigScopeRemoveTrigger(handle_, index), "< trigger removed");
    } else if (c == "setparams") {
      const uint8_t mode = modeOf(w[1]);
      const float capture = std::stof(w[2]);
      const float pre = std::stof(w[3]);
      outcome(ProtDigScopeSetParameters(handle_, mode, capture, pre), "< parameters set");
    } else if (c == "arm") {
      outcome(ProtDigScopeArm(handle_), "< armed");
    } else if (c == "cancel") {
      outcome(ProtDigScopeCancel(handle_), "< cancelled");
    } else if (c == "getconf" || c == "getdata") {
      const uint64_t id = files_.push(w[1]);
      const ScopeResult r = c == "getconf" ? ProtDigScopeReqRawConfiguration(handle_)
                                           : ProtDigScopeReqRawData(handle_);
      // No result event took the name: it must not go to a later result.
      if (r == PROT_DIGSCOPE_BROKEN_LINK) files_.drop(id);
      if (r != 0) printer().print("ERROR: " + scopeResultText(r));
    }
    return Outcome::kDone;
  }

  // The library's callback has no user pointer: the one running console.
  static std::atomic<DigScopeConsole*> active_;
  const HwId hwid_;
  ProtDigScopeHandle handle_ = nullptr;
  ScopeFileQueue files_;
};

std::atomic<DigScopeConsole*> DigScopeConsole::active_{nullptr};

}  // namespace

int runDigScopeConsole(const HwId& hwid, const std::vector<std::string>& args) {
  DigScopeConsole console(hwid, std::cout);
  return console.run(args, std::cin);
}

}  // namespace protoprobe
