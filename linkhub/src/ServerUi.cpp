#include "linkhub/ServerUi.h"

#include <atomic>
#include <iostream>

#include "plat/sysmsg.h"

namespace linkhub {

namespace {

StderrFatalMessageBox& headlessBox() {
  static StderrFatalMessageBox box;
  return box;
}

std::atomic<FatalMessageBox*> gFatalBox{nullptr};

}  // namespace

StderrFatalMessageBox::StderrFatalMessageBox() : out_(&std::cerr) {}

std::string StderrFatalMessageBox::oneLine(const std::string& text) {
  std::string line;
  bool pendingBreak = false;
  for (char c : text) {
    if (c == '\n' || c == '\r') {
      pendingBreak = true;
      continue;
    }
    if (pendingBreak && !line.empty()) line += ": ";
    pendingBreak = false;
    line += c;
  }
  return line;
}

void StderrFatalMessageBox::show(const std::string& caption, const std::string& text) {
  (void)caption;  // one line that starts with the message itself
  *out_ << oneLine(text) << std::endl;
}

FatalMessageBox* setFatalMessageBox(FatalMessageBox* box) { return gFatalBox.exchange(box); }

std::string formatFatalError(uint32_t code, const std::string& context) {
  std::string text = context + "\n\r";
  std::string system;
  if (plat::lookupSystemMessage(code, &system)) text += system;
  return text;
}

void ShowFatalError(uint32_t code, const std::string& context) {
  FatalMessageBox* box = gFatalBox.load();
  (box ? *box : headlessBox()).show(kServerCaption, formatFatalError(code, context));
}

}  // namespace linkhub
