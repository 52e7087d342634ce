#include "linkhub/ui/GuiMain.h"

#include <QApplication>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "linkhub/CConnServerApp.h"
#include "linkhub/ui/GuiShell.h"
#include "plat/signals.h"
#include "plat/spawn.h"
#include "plat/sysmsg.h"

using linkhub::CConnServerApp;

namespace hubui {

namespace {

// Qt's own warnings (no runtime dir, no tray host, ...) are noise for a
// program whose standard error carries its fatal lines; errors pass.
void qtMessages(QtMsgType type, const QMessageLogContext&, const QString& text) {
  if (type == QtCriticalMsg || type == QtFatalMsg) std::cerr << text.toStdString() << std::endl;
}

// Generous: a slow display still answers well within it.
constexpr int kDisplayProbeMs = 15000;

bool named(const char* variable) {
  const char* v = std::getenv(variable);
  return v && *v;
}

}  // namespace

bool displayAvailable(int argc, char** argv) {
  if (!named("DISPLAY") && !named("WAYLAND_DISPLAY")) return false;
  // The platform aborts when it cannot start, so try it in a child first.
  return plat::probeInChild(
      [argc, argv] {
        int n = argc;
        QGuiApplication probe(n, argv);
      },
      kDisplayProbeMs);
}

int runGui(int argc, char** argv) {
  // Before any thread starts, so that every thread inherits the blocked mask.
  plat::TerminationSignals termination;
  if (int rc = termination.install()) {
    std::cerr << "Cannot wait for termination signals: " << plat::systemMessage(uint32_t(rc))
              << std::endl;
    return CConnServerApp::kExitStartFailed;
  }
  if (!std::getenv("LINKHUB_QT_MESSAGES")) qInstallMessageHandler(qtMessages);
  QApplication qapp(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);

  CConnServerApp* appPtr = nullptr;
  GuiShell::Config config;
  config.manager = [&appPtr] { return appPtr ? appPtr->transportManager() : nullptr; };
  config.application = [&appPtr] {
    return appPtr ? appPtr->applicationName() : std::string("linkhub");
  };
  GuiShell shell(config);
  CConnServerApp app(shell.serverUi());
  appPtr = &app;

  if (const std::optional<int> ended = app.startProgram(argc, argv)) return *ended;
  if (!QSystemTrayIcon::isSystemTrayAvailable()) shell.reportNoTray();

  // SIGTERM and SIGINT run the same shutdown as "Quit".
  std::thread waiter([&] {
    int got;
    while ((got = termination.wait(-1)) == plat::TerminationSignals::kTimedOut) {
    }
    if (got != plat::TerminationSignals::kQuitRequested)
      QMetaObject::invokeMethod(
          &shell, [&shell] { shell.quit(); }, Qt::QueuedConnection);
  });
  QApplication::exec();
  termination.requestQuit();
  waiter.join();
  shell.closeAll();
  return app.exitInstance();
}

}  // namespace hubui
