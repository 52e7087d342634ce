// The widgets behind GuiShell. Tests reach their parts through the
// accessors; the logic is in DeviceListLogic.h.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "linkhub/ServerUi.h"
#include "linkhub/TransportManager.h"
#include "linkhub/ui/DeviceListLogic.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSystemTrayIcon;
class QTreeWidget;
class QTreeWidgetItem;

namespace hubui {

class GuiShell;

// The program's icon, drawn (tray, windows).
QIcon programIcon();

class AboutBox : public QDialog {
  Q_OBJECT
 public:
  explicit AboutBox(const AboutTexts& texts, QWidget* parent = nullptr);
  QLabel* product() const { return product_; }
  QLabel* version() const { return version_; }
  QLabel* copyright() const { return copyright_; }

 private:
  QLabel* product_;
  QLabel* version_;
  QLabel* copyright_;
};

// The tray owner: the icon and its menu. The icon is shown whatever the
// platform says of tray support, so that it appears when a tray host starts.
class TrayIcon : public linkhub::TrayOwner {
 public:
  TrayIcon(GuiShell* shell, const std::string& tooltip);
  ~TrayIcon() override;  // removes the icon

  QSystemTrayIcon* icon() const { return icon_; }
  QMenu* menu() const { return menu_; }
  QAction* devicesAction() const { return devices_; }
  QAction* aboutAction() const { return about_; }
  QAction* quitAction() const { return quit_; }
  // What a click on the icon does (QSystemTrayIcon::ActivationReason).
  void activated(int reason);

 private:
  GuiShell* shell_;
  std::unique_ptr<QMenu> menu_owner_;
  QMenu* menu_;
  QSystemTrayIcon* icon_;
  QAction* devices_;
  QAction* about_;
  QAction* quit_;
};

// The device list, in list mode (from the tray, "Close") or chooser mode
// (for a client, "OK" and "Cancel").
class DeviceListDialog : public QDialog, public linkhub::TransportEv {
  Q_OBJECT
 public:
  struct Env {
    linkhub::TransportManager* manager = nullptr;
    DeviceAccess* access = nullptr;
    int identifyPauseMs = kIdentifyMs;
    std::function<void(DeviceListDialog*, const translayer::HwId&)> launchUpdater;
  };
  DeviceListDialog(bool chooser, std::optional<translayer::HwId> initial, Env env,
                   QWidget* parent = nullptr);
  // shutdown().
  ~DeviceListDialog() override;

  // Leaves the manager's listeners, then stops and joins the worker.
  // Idempotent; the window is of no further use.
  void shutdown();

  bool chooserMode() const { return chooser_; }
  std::optional<translayer::HwId> selected() const { return selected_; }
  const DeviceListModel& model() const { return model_; }
  bool busy() const { return busy_; }

  QTreeWidget* list() const { return list_; }
  QLineEdit* editor() const { return editor_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }
  // The context menu's actions (for the selected row).
  QMenu* contextMenu() const { return menu_; }
  QAction* identifyAction() const { return identify_; }
  QAction* resetAction() const { return reset_; }
  QAction* updateAction() const { return update_; }

  // What the user's actions do (the widgets' signals call these).
  bool startEdit(int row);
  void refresh();

  // TransportEv
  void onDeviceListed(const translayer::HwId* id) override;
  void onListChanged() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void onResult(const Result& result);
  void setBusy(bool busy);
  void updateRowText(int row);
  void placeEditor();
  void commitEdit();
  void cancelEdit();
  void selectionChanged();
  void queueForSelected(RequestKind kind);

  const bool chooser_;
  Env env_;
  std::optional<translayer::HwId> selected_;
  DeviceListModel model_;
  std::vector<translayer::HwId> listed_;  // filled during enumerateDevices
  bool busy_ = false;
  bool listening_ = false;
  bool bringToFront_ = false;

  QTreeWidget* list_;
  QLineEdit* editor_;
  QPushButton* ok_;
  QPushButton* cancel_;
  QMenu* menu_;
  QAction* identify_;
  QAction* reset_;
  QAction* update_;
  std::unique_ptr<DeviceListWorker> worker_;
};

}  // namespace hubui
