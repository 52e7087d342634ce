// The headless connection server: runs until SIGTERM or SIGINT, then shuts
// down as the tray's Quit would.
#include <iostream>

#include "linkhub/CConnServerApp.h"
#include "plat/signals.h"
#include "plat/sysmsg.h"

int main(int argc, char** argv) {
  // Before any thread starts, so that every thread inherits the blocked mask.
  plat::TerminationSignals signals;
  if (int rc = signals.install()) {
    std::cerr << "Cannot wait for termination signals: " << plat::systemMessage(uint32_t(rc))
              << std::endl;
    return CConnServerApp::kExitStartFailed;
  }

  CConnServerApp app;
  switch (app.initInstance(argc > 0 ? argv[0] : "")) {
    case CConnServerApp::Start::kAlreadyRunning:
      return 0;
    case CConnServerApp::Start::kFailed:
      app.exitInstance();
      return CConnServerApp::kExitStartFailed;
    case CConnServerApp::Start::kRunning:
      break;
  }
  while (signals.wait(-1) == plat::TerminationSignals::kTimedOut) {
  }
  return app.exitInstance();
}
