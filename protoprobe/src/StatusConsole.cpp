#include "StatusConsole.h"

#include <atomic>
#include <iostream>
#include <sstream>

#include "InteractiveConsole.h"
#include "statproto/statproto.h"

using translayer::HwId;

namespace protoprobe {

std::string hexDump(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 3);
  for (size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
    text += ' ';
  }
  return text;
}

namespace {

std::string invalidLength(uint64_t length) { return "Invalid lenght: " + std::to_string(length); }

std::string hex4(uint16_t value) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text(4, '0');
  for (int i = 3; i >= 0; --i, value >>= 4) text[size_t(i)] = kDigits[value & 15];
  return text;
}

std::string listText(const char* prefix, const void* data, uint64_t length) {
  if (length != sizeof(ProtStatusList) || !data) return invalidLength(length);
  const auto* list = static_cast<const ProtStatusList*>(data);
  std::string text = prefix;
  for (uint16_t i = 0; i < list->count && list->values; ++i) {
    if (i) text += ", ";
    text += hex4(list->values[i]);
  }
  return text;
}

}  // namespace

std::string statusEventText(uint64_t event, const void* data, uint64_t length, bool* known) {
  *known = true;
  switch (event) {
    case PROT_STATUS_EVENT_DOWN:
      return "DIS (" + std::to_string(length) + ")";
    case PROT_STATUS_EVENT_UP:
      return "CON";
    case PROT_STATUS_EVENT_SIGNATURE:
      if (length != 16 || !data) return "SIG: " + invalidLength(length);
      return "SIG: " + hexDump(static_cast<const uint8_t*>(data), 16);
    case PROT_STATUS_EVENT_EVENTS:
      return listText("EV : ", data, length);
    case PROT_STATUS_EVENT_POWER:
      return listText("PS : ", data, length);
    case PROT_STATUS_EVENT_TEXT: {
      // The record holds a pointer to the text, not the text.
      if (length != sizeof(ProtStatusText) || !data) return invalidLength(length);
      const char* text = static_cast<const ProtStatusText*>(data)->text;
      return std::string("SY : ") + (text ? text : "");
    }
    default:
      *known = false;
      return "Unknown event ID: " + std::to_string(event);
  }
}

namespace {

class StatusConsole : public InteractiveConsole {
 public:
  StatusConsole(const HwId& hwid, std::ostream& out) : InteractiveConsole(out), hwid_(hwid) {}

  static void onEvent(ProtStatusHandle, uint64_t event, const void* data, uint64_t length) {
    StatusConsole* console = active_.load();
    if (!console) return;
    bool known = true;
    const std::string text = statusEventText(event, data, length, &known);
    if (!known) console->setAbort();
    console->printEvent(text);
  }

 protected:
  std::vector<std::string> helpLines() const override {
    return {"  reqsignature", "  reqnotifications", "  quit"};
  }
  bool registerLibrary() override {
    active_ = this;
    handle_ = ProtStatusRegister(hwid_.id, sizeof hwid_.id, &StatusConsole::onEvent);
    return handle_ != nullptr;
  }
  void unregisterLibrary() override {
    if (handle_) ProtStatusUnRegister(handle_);
    handle_ = nullptr;
    active_ = nullptr;
  }
  Outcome command(const std::vector<std::string>& words, const std::string& line) override {
    bool (*request)(ProtStatusHandle) = nullptr;
    if (words[0] == "reqsignature") request = ProtStatusReqSignature;
    if (words[0] == "reqnotifications") request = ProtStatusReqNotifications;
    if (!request) return Outcome::kDone;
    echo(line);
    return request(handle_) ? Outcome::kDone : Outcome::kAbort;
  }

 private:
  // The library's callback has no user pointer: the one running console.
  static std::atomic<StatusConsole*> active_;
  const HwId hwid_;
  ProtStatusHandle handle_ = nullptr;
};

std::atomic<StatusConsole*> StatusConsole::active_{nullptr};

}  // namespace

int runStatusConsole(const HwId& hwid, const std::vector<std::string>& args) {
  StatusConsole console(hwid, std::cout);
  return console.run(args, std::cin);
}

}  // namespace protoprobe
