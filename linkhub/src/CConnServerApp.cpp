#include "linkhub/CConnServerApp.h"

#include <filesystem>

#include "plat/process.h"

namespace linkhub {

CConnServerApp::CConnServerApp(ServerUi ui) : CConnServerApp(std::move(ui), Options{}) {}

CConnServerApp::CConnServerApp(ServerUi ui, const Options& options)
    : ui_(std::move(ui)), options_(options) {
  previousBox_ = setFatalMessageBox(ui_.fatalBox ? ui_.fatalBox : &headlessBox_);
}

CConnServerApp::~CConnServerApp() {
  exitInstance();
  setFatalMessageBox(previousBox_);
  instanceLock_.release();
}

std::optional<int> CConnServerApp::startProgram(int, char**) {
  // The program file, not argv[0]: started through a link of another name,
  // the server still reads its own registry key.
  switch (initInstance(plat::currentProgramPath())) {
    case Start::kAlreadyRunning:
      return 0;
    case Start::kFailed:
      exitInstance();
      return kExitStartFailed;
    case Start::kRunning:
      break;
  }
  return std::nullopt;
}

CConnServerApp::Start CConnServerApp::initInstance(const std::string& programPath) {
  if (instanceLock_.acquire(kInstanceMutexName) != 0) return Start::kAlreadyRunning;

  applicationName_ = std::filesystem::path(programPath).stem().string();
  if (applicationName_.empty()) return Start::kFailed;

  if (ui_.createTray) tray_ = ui_.createTray();

  manager_ = std::make_unique<TransportManager>();
  if (!manager_->loadMedia(kCompanyName, applicationName_)) return Start::kFailed;

  server_ = std::make_unique<TrIfServer>(manager_.get(), ui_.chooser, options_.server);
  if (!server_->start()) return Start::kFailed;
  return Start::kRunning;
}

int CConnServerApp::exitInstance() {
  if (server_) {
    server_->stop();
    server_.reset();
  }
  if (manager_) {
    manager_->stop();
    manager_.reset();
  }
  tray_.reset();
  return 0;
}

}  // namespace linkhub
