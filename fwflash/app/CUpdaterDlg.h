// The updater's only window: package and device firmware information side
// by side, "Download" and "Reset", and the upload's progress. All device
// work runs on the CommMgr worker; its events arrive as posted Qt events
// that own their data, and the worker is joined before the dialog dies.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "fwflash/CommMgr.h"
#include "fwflash/DialogLogic.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace fwflash {

// Picks a package file without blocking the dialog's thread; `chosen` runs
// on that thread with the path, never when the user cancels.
class FilePicker {
 public:
  virtual ~FilePicker() = default;
  virtual void pick(QWidget* parent, const QString& current,
                    std::function<void(const QString&)> chosen) = 0;
};

class QtFilePicker : public FilePicker {
 public:
  void pick(QWidget* parent, const QString& current,
            std::function<void(const QString&)> chosen) override;
};

// The updater's own program icon, drawn at each of kUpdaterIconSizes
// (the small and the big window icon).
inline constexpr int kUpdaterIconSizes[] = {16, 32};
QIcon updaterIcon();

struct UpdaterDialogSetup {
  QString title;
  std::vector<uint8_t> hwid;
  DeviceApi* device = nullptr;
  FileServerApi* files = nullptr;
  FilePicker* picker = nullptr;
  CommMgrOptions worker;
  QString eventLog;  // when set, a line per connection change, operation end and activation
};

class CUpdaterDlg : public QDialog, private DialogView, private UpdaterEventSink {
  Q_OBJECT

 public:
  explicit CUpdaterDlg(UpdaterDialogSetup setup, QWidget* parent = nullptr);
  ~CUpdaterDlg() override;

  QWidget* control(int id) const;
  QString controlText(int id) const;
  const DialogLogic& logic() const { return logic_; }
  // Brings the window to the front (a second start for the same device).
  void activate();

  void onBrowse();
  void onDownload();
  void onReset();

 public slots:
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void customEvent(QEvent* event) override;

 private:
  // DialogView
  void setControlText(int id, const std::u16string& text) override;
  void setControlEnabled(int id, bool enabled) override;
  void setProgress(int position) override;
  void setBusyCursor(bool busy) override;
  void showWarning(const std::u16string& text) override;
  // UpdaterEventSink: any thread
  void post(std::unique_ptr<UpdaterEvent> event) override;

  void buildControls();
  void logLine(const QString& line);
  void loadPackage(const QString& path);

  UpdaterDialogSetup setup_;
  DialogLogic logic_;
  std::map<int, QWidget*> controls_;
  QProgressBar* progress_ = nullptr;
  std::vector<uint8_t> package_;
  std::unique_ptr<CommMgr> worker_;
};

}  // namespace fwflash
