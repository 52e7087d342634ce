#include "CUpdaterApp.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "CUpdaterDlg.h"
#include "DevicePorts.h"
#include "plat/errors.h"
#include "plat/instance.h"
#include "plat/runtime.h"
#include "plat/verinfo.h"

namespace fwflash {
namespace {

constexpr const char* kProductFallbackCaption = "KN Firmware Updater";

bool displayNamed() {
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

bool envFlag(const char* name) {
  const char* v = std::getenv(name);
  return v && std::string(v) == "1";
}

// Qt ends the process when its platform cannot start; that is the display
// check failing, reported by our rule instead of Qt's abort.
const char* gPlatformFailureLine = kNoDisplayMessage;
void platformMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtFatalMsg) {
    if (*gPlatformFailureLine) std::fprintf(stderr, "%s\n", gPlatformFailureLine);
    std::fflush(stderr);
    std::_Exit(1);
  }
  if (type != QtDebugMsg && type != QtInfoMsg) std::fprintf(stderr, "%s\n", qPrintable(message));
}

// A box in GUI mode (never waiting with FWFLASH_FATAL_NOWAIT=1), and always
// the line on standard error.
int fatal(int argc, char** argv, const char* text) {
  std::fprintf(stderr, "%s\n", text);
  std::fflush(stderr);
  if (!displayNamed()) return 1;
  gPlatformFailureLine = "";  // the line is out already
  qInstallMessageHandler(platformMessageHandler);
  QApplication app(argc, argv);
  QMessageBox box(QMessageBox::Warning, kProductFallbackCaption, text, QMessageBox::Ok);
  if (envFlag("FWFLASH_FATAL_NOWAIT")) {
    box.show();
    QCoreApplication::processEvents();
    return 1;
  }
  box.exec();
  return 1;
}

std::string activationPath(const std::string& rt, const std::string& hex) {
  return rt + "/fwflash-" + hex + ".sock";
}

// Asks the first instance to raise its window; it may still be starting.
void activateFirst(int argc, char** argv, const std::string& path) {
  QCoreApplication app(argc, argv);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < end) {
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(path));
    if (socket.waitForConnected(500)) {
      socket.write("activate\n");
      socket.waitForBytesWritten(1000);
      socket.disconnectFromServer();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace

std::optional<std::string> firstParameter(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-') continue;
    return std::string(argv[i]);
  }
  return std::nullopt;
}

int runUpdaterApp(int argc, char** argv) {
  const std::optional<std::string> parameter = firstParameter(argc, argv);
  const std::optional<std::vector<uint8_t>> hwid =
      parameter ? parseHwIdArgument(*parameter) : std::nullopt;
  if (!hwid) return fatal(argc, argv, kNoHwIdMessage);
  const std::string hex = hwIdText(*hwid);

  std::string rt;
  if (plat::runtimeDir(&rt) != 0) {
    std::fprintf(stderr, "fwflash: runtime directory unusable\n");
    return 1;
  }
  plat::InstanceLock lock;
  const int held = lock.acquire("fwflash-" + hex);
  if (held == plat::kErrorAlreadyExists) {
    activateFirst(argc, argv, activationPath(rt, hex));
    return 0;
  }
  if (held != 0) {
    std::fprintf(stderr, "fwflash: instance lock failed (%d)\n", held);
    return 1;
  }

  if (!displayNamed()) {
    std::fprintf(stderr, "%s\n", kNoDisplayMessage);
    return 1;
  }
  qInstallMessageHandler(platformMessageHandler);
  QApplication app(argc, argv);
  qInstallMessageHandler(nullptr);

  DevmgrDevice device;
  FsprotoFileServer files;
  QtFilePicker picker;
  UpdaterDialogSetup setup;
  setup.title = QString::fromStdString(plat::getVersionString("ProductName") + " - " + hex);
  setup.hwid = *hwid;
  setup.device = &device;
  setup.files = &files;
  setup.picker = &picker;
  setup.worker.tempDir = rt;
  if (const char* log = std::getenv("FWFLASH_EVENT_LOG"))
    setup.eventLog = QString::fromLocal8Bit(log);
  CUpdaterDlg dialog(setup);

  // Holding the lock, a socket file left by a crashed holder is stale.
  const QString path = QString::fromStdString(activationPath(rt, hex));
  QLocalServer::removeServer(path);
  QLocalServer server;
  server.setSocketOptions(QLocalServer::UserAccessOption);
  QObject::connect(&server, &QLocalServer::newConnection, &dialog, [&] {
    while (QLocalSocket* peer = server.nextPendingConnection()) {
      QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
      dialog.activate();
    }
  });
  if (!server.listen(path))
    std::fprintf(stderr, "fwflash: activation socket: %s\n", qPrintable(server.errorString()));

  dialog.show();
  const int rc = app.exec();
  server.close();
  return rc;
}

}  // namespace fwflash
