// The connection server: with a display, the tray and its windows; without
// one, headless until SIGTERM or SIGINT, which shut down as the tray's Quit.
#include <iostream>

#include "linkhub/CConnServerApp.h"
#include "linkhub/ui/GuiMain.h"
#include "plat/signals.h"
#include "plat/sysmsg.h"

using linkhub::CConnServerApp;

namespace {

int runHeadless(int argc, char** argv) {
  // Before any thread starts, so that every thread inherits the blocked mask.
  plat::TerminationSignals signals;
  if (int rc = signals.install()) {
    std::cerr << "Cannot wait for termination signals: " << plat::systemMessage(uint32_t(rc))
              << std::endl;
    return CConnServerApp::kExitStartFailed;
  }

  CConnServerApp app;
  if (const std::optional<int> ended = app.startProgram(argc, argv)) return *ended;
  while (signals.wait(-1) == plat::TerminationSignals::kTimedOut) {
  }
  return app.exitInstance();
}

}  // namespace

int main(int argc, char** argv) {
  if (hubui::displayAvailable(argc, argv)) return hubui::runGui(argc, argv);
  return runHeadless(argc, argv);
}
