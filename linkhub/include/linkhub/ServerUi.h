// The parts of the connection server that face the user, behind small
// interfaces so that the server core runs, and is tested, without a display.
// The tray program supplies widget-based ones; the headless program uses the
// defaults below (errors on standard error, no tray, no chooser).
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <stop_token>
#include <string>

#include "translayer/HwId.h"

namespace linkhub {

// The caption of every error box of the server.
inline constexpr const char* kServerCaption = "Connection Server";

// Shows one fatal error and returns once the user has seen it. Called on the
// thread whose start-up step failed (the start-up thread), before the
// program ends.
class FatalMessageBox {
 public:
  virtual ~FatalMessageBox() = default;
  // `text` as ShowFatalError builds it: the failing step's text, "\n\r",
  // then the system's text for the code.
  virtual void show(const std::string& caption, const std::string& text) = 0;
};

// Headless: the text as one line on the stream (standard error unless told
// otherwise); its line breaks become ": " and trailing ones are dropped.
class StderrFatalMessageBox : public FatalMessageBox {
 public:
  StderrFatalMessageBox();
  explicit StderrFatalMessageBox(std::ostream& out) : out_(&out) {}
  void show(const std::string& caption, const std::string& text) override;
  static std::string oneLine(const std::string& text);

 private:
  std::ostream* out_;
};

// The tray owner: made during start-up before the device links come up, and
// destroyed last at exit (its destructor removes the icon). Its Quit ends the
// program's main loop, which then runs CConnServerApp::exitInstance.
class TrayOwner {
 public:
  virtual ~TrayOwner() = default;
};

// The device chooser that AskUserDeviceSelection shows (the device list
// dialog in chooser mode).
class DeviceChooser {
 public:
  virtual ~DeviceChooser() = default;
  // Shows the chooser with *hwid as the initial selection; `parentWindow` is
  // the caller's window handle (of another process: no parent, the chooser
  // brings itself to the front). True (OK) with the chosen id in *hwid;
  // false when cancelled or failed, *hwid then unchanged.
  //
  // Runs on an RPC call thread, and several may be open at once. It must
  // return soon after `stop` is requested (the server is shutting down and
  // waits for every call): register a std::stop_callback that closes the
  // dialog, and check stop_requested() before showing it.
  virtual bool chooseDevice(translayer::HwId* hwid, uint64_t parentWindow,
                            std::stop_token stop) = 0;
};

struct ServerUi {
  FatalMessageBox* fatalBox = nullptr;  // null: StderrFatalMessageBox
  // Makes the tray owner during start-up; null: no tray.
  std::function<std::unique_ptr<TrayOwner>()> createTray;
  DeviceChooser* chooser = nullptr;  // null: AskUserDeviceSelection answers 5
};

// The box ShowFatalError uses, process-wide; null restores the headless one.
// Returns the previous one. Set it before the server's threads start.
FatalMessageBox* setFatalMessageBox(FatalMessageBox* box);

// context + "\n\r" + the system's text for `code` (context + "\n\r" alone
// when the system has no text for it).
std::string formatFatalError(uint32_t code, const std::string& context);

// Shows formatFatalError(code, context) captioned kServerCaption.
void ShowFatalError(uint32_t code, const std::string& context);

}  // namespace linkhub
