// The connection server's windows (Qt 6 Widgets): the tray icon with its
// menu, the about box, the device list window and the device chooser, and
// the fatal message box. No window runs a nested event loop: each is a
// non-blocking window on the GUI thread.
//
// Threads: everything here runs on the GUI thread except chooseDevice,
// which an RPC call thread runs: it has the chooser made on the GUI thread
// and waits for its answer; a server stop (its stop token) answers it
// false at once, whatever the GUI thread is doing.
//
// Shutdown: quit() (the tray's "Quit", SIGTERM, SIGINT) first hides the tray
// icon, then closes every window: choosers are answered false, the windows' workers joined and
// their listeners removed. Only then may the server be stopped.
#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "linkhub/ServerUi.h"
#include "linkhub/ui/DeviceListLogic.h"

class QMessageBox;

namespace linkhub {
class TransportManager;
}

namespace hubui {

class AboutBox;
class DeviceListDialog;
class TrayIcon;

// In GUI mode: the one line on standard error, then the box (waited for
// unless LINKHUB_FATAL_NOWAIT=1).
class QtFatalMessageBox : public linkhub::FatalMessageBox {
 public:
  void show(const std::string& caption, const std::string& text) override;
};

class GuiShell : public QObject, public linkhub::DeviceChooser {
  Q_OBJECT

 public:
  struct Config {
    // The server's manager, asked on the GUI thread when a window opens.
    std::function<linkhub::TransportManager*()> manager;
    std::string company = "Veltrano";
    // The registry key's name of the updater value; asked when launching.
    std::function<std::string()> application;
    DeviceAccess* access = nullptr;  // null: the devmgr library
    int identifyPauseMs = kIdentifyMs;
    VersionLookup version;  // null: the program's own version block
    SpawnFunction spawn;    // null: plat::spawnDetached
  };

  explicit GuiShell(Config config);
  // closeAll().
  ~GuiShell() override;

  // The fatal box, the tray maker and this chooser, for CConnServerApp.
  linkhub::ServerUi serverUi();

  // Any thread but the GUI thread.
  bool chooseDevice(translayer::HwId* hwid, uint64_t parentWindow, std::stop_token stop) override;

  // GUI thread.
  void openDeviceList();  // raises the open one instead of opening a second
  void openAbout();
  // With no tray at start: says so on standard error and opens the list.
  void reportNoTray();
  void closeAll();
  void quit();  // hides the tray icon, closeAll(), then ends the event loop

  // Observers for tests (GUI thread).
  DeviceListDialog* deviceList() const;
  std::vector<DeviceListDialog*> choosers() const;
  AboutBox* aboutBox() const;
  TrayIcon* tray() const { return tray_; }
  bool closing() const { return closing_; }

 private:
  friend class TrayIcon;
  struct ChooserCall;

  DeviceListDialog* makeDialog(bool chooser, std::optional<translayer::HwId> initial);
  void openChooser(const std::shared_ptr<ChooserCall>& call);
  void closeChooser(const std::shared_ptr<ChooserCall>& call);
  void launchUpdater(DeviceListDialog* dialog, const translayer::HwId& id);

  Config config_;
  std::unique_ptr<DeviceAccess> ownAccess_;
  QtFatalMessageBox fatalBox_;
  TrayIcon* tray_ = nullptr;  // owned by the application object
  QPointer<DeviceListDialog> list_;
  QPointer<AboutBox> about_;
  std::vector<std::shared_ptr<ChooserCall>> calls_;  // GUI thread
  std::atomic<bool> closing_{false};
};

}  // namespace hubui
