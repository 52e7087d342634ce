// The connection server application: single-instance start-up, the tray
// owner, the transport manager with its media libraries and the RPC server,
// and their shutdown in reverse order.
//
// The program's main loop is not here: the headless program waits for a
// termination signal, the tray program runs its event loop until Quit; both
// then call exitInstance(). initInstance() and exitInstance() run on that
// main thread.
//
// Start-up, in this order:
//   1. the instance lock "VLN_ZAMOConnServer_instance_mutext" (in the runtime
//      directory); held by another process, or not to be had: kAlreadyRunning,
//      no message;
//   2. the application name: the program file's name without directory and
//      extension (the registry key's name); none: kFailed;
//   3. the tray owner (ServerUi::createTray), when there is one;
//   4. the TransportManager loads the media libraries named in the registry
//      file; failure (already shown): kFailed;
//   5. the TrIfServer starts serving; failure (already shown): kFailed.
// After kFailed the objects made so far stay until exitInstance().
//
// Shutdown (exitInstance): the RPC server (no call is running after it), then
// the transport manager with every link and media library, then the tray.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "linkhub/ServerUi.h"
#include "linkhub/TrIfServer.h"
#include "linkhub/TransportManager.h"
#include "plat/instance.h"

namespace linkhub {

class CConnServerApp {
 public:
  static constexpr const char* kCompanyName = "Veltrano";
  static constexpr const char* kInstanceMutexName = "VLN_ZAMOConnServer_instance_mutext";
  // The exit code after a failed start (the shell sees 255).
  static constexpr int kExitStartFailed = -1;

  enum class Start { kRunning, kAlreadyRunning, kFailed };

  struct Options {
    TrIfServer::Options server;
  };

  // Installs the UI's fatal message box (or the headless one) process-wide
  // for the life of the object.
  explicit CConnServerApp(ServerUi ui = {});
  CConnServerApp(ServerUi ui, const Options& options);
  // exitInstance(); then the instance lock is released.
  ~CConnServerApp();
  CConnServerApp(const CConnServerApp&) = delete;
  CConnServerApp& operator=(const CConnServerApp&) = delete;

  // `programPath`: the program file's path.
  Start initInstance(const std::string& programPath);
  // Idempotent; returns the exit code of a server that ran (0).
  int exitInstance();
  // initInstance() as the program's main runs it, with the path of the file
  // this process runs (whatever argv[0] says): nothing when the server
  // runs, else the code the program ends with (0 beside another instance;
  // kExitStartFailed after a failed start, cleaned up).
  std::optional<int> startProgram(int argc, char** argv);

  const std::string& applicationName() const { return applicationName_; }
  // Null before start-up made them and after exitInstance().
  TransportManager* transportManager() const { return manager_.get(); }
  TrIfServer* server() const { return server_.get(); }
  TrayOwner* tray() const { return tray_.get(); }

 private:
  ServerUi ui_;
  Options options_;
  StderrFatalMessageBox headlessBox_;
  FatalMessageBox* previousBox_ = nullptr;
  plat::InstanceLock instanceLock_;
  std::string applicationName_;
  std::unique_ptr<TrayOwner> tray_;
  std::unique_ptr<TransportManager> manager_;
  std::unique_ptr<TrIfServer> server_;
};

}  // namespace linkhub
