#include "linkhub/ui/GuiShell.h"

#include <QApplication>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>

#include "linkhub/ui/Windows.h"
#include "plat/threadsafety.h"

using linkhub::kServerCaption;
using linkhub::ServerUi;
using linkhub::StderrFatalMessageBox;
using linkhub::TrayOwner;

using translayer::HwId;

namespace hubui {

namespace {

QString boxText(const std::string& text) {
  // The fatal text's "\n\r" is one line break on screen.
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') continue;
    out += text[i];
  }
  return QString::fromUtf8(out.data(), qsizetype(out.size()));
}

}  // namespace

void QtFatalMessageBox::show(const std::string& caption, const std::string& text) {
  std::cerr << StderrFatalMessageBox::oneLine(text) << std::endl;
  const char* nowait = std::getenv("LINKHUB_FATAL_NOWAIT");
  if (nowait && std::strcmp(nowait, "1") == 0) return;
  QMessageBox box(QMessageBox::Critical, QString::fromStdString(caption), boxText(text),
                  QMessageBox::Ok);
  box.exec();  // start-up only: the program ends once it is closed
}

struct GuiShell::ChooserCall {
  plat::Mutex mutex;
  plat::CondVar cv;
  bool done GUARDED_BY(mutex) = false;
  bool ok GUARDED_BY(mutex) = false;
  HwId chosen GUARDED_BY(mutex){};
  QPointer<DeviceListDialog> dialog;  // GUI thread

  void answer(bool accepted, const HwId& id) {
    {
      plat::LockGuard lock(mutex);
      if (done) return;
      done = true;
      ok = accepted;
      if (accepted) chosen = id;
    }
    cv.notify_all();
  }
  bool answered() {
    plat::LockGuard lock(mutex);
    return done;
  }
};

GuiShell::GuiShell(Config config) : config_(std::move(config)) {
  if (!config_.access) {
    ownAccess_ = std::make_unique<DevmgrDeviceAccess>();
    config_.access = ownAccess_.get();
  }
  if (!config_.version) config_.version = programVersionLookup();
}

GuiShell::~GuiShell() { closeAll(); }

ServerUi GuiShell::serverUi() {
  ServerUi ui;
  ui.fatalBox = &fatalBox_;
  ui.createTray = [this] {
    return std::unique_ptr<TrayOwner>(new TrayIcon(this, trayTooltip(config_.version)));
  };
  ui.chooser = this;
  return ui;
}

DeviceListDialog* GuiShell::makeDialog(bool chooser, std::optional<HwId> initial) {
  DeviceListDialog::Env env;
  env.manager = config_.manager ? config_.manager() : nullptr;
  env.access = config_.access;
  env.identifyPauseMs = config_.identifyPauseMs;
  env.launchUpdater = [this](DeviceListDialog* d, const HwId& id) { launchUpdater(d, id); };
  return new DeviceListDialog(chooser, initial, env);
}

void GuiShell::openDeviceList() {
  if (closing_) return;
  if (list_) {
    list_->raise();
    list_->activateWindow();
    return;
  }
  list_ = makeDialog(false, std::nullopt);
  DeviceListDialog* d = list_;
  connect(d, &QDialog::finished, this, [this, d] {
    if (list_ == d) list_ = nullptr;
    d->shutdown();
    d->deleteLater();
  });
  d->show();
}

void GuiShell::openAbout() {
  if (closing_) return;
  if (about_) {
    about_->raise();
    about_->activateWindow();
    return;
  }
  about_ = new AboutBox(aboutTexts(config_.version));
  AboutBox* box = about_;
  connect(box, &QDialog::finished, this, [this, box] {
    if (about_ == box) about_ = nullptr;
    box->deleteLater();
  });
  box->show();
}

void GuiShell::reportNoTray() {
  std::cerr << "linkhub: no system tray is available; showing the device list instead" << std::endl;
  openDeviceList();
}

bool GuiShell::chooseDevice(HwId* hwid, uint64_t parentWindow, std::stop_token stop) {
  (void)parentWindow;  // a window of another process is never a parent here
  if (closing_ || stop.stop_requested()) return false;
  auto call = std::make_shared<ChooserCall>();
  {
    plat::LockGuard lock(call->mutex);
    call->chosen = *hwid;
  }
  std::stop_callback onStop(stop, [this, call] {
    call->answer(false, {});
    QMetaObject::invokeMethod(
        this, [this, call] { closeChooser(call); }, Qt::QueuedConnection);
  });
  QMetaObject::invokeMethod(
      this,
      [this, call] {
        if (call->answered() || closing_) {
          call->answer(false, {});
          return;
        }
        openChooser(call);
      },
      Qt::QueuedConnection);
  plat::UniqueLock lock(call->mutex);
  call->cv.wait(lock, [&]() REQUIRES(call->mutex) { return call->done; });
  if (!call->ok) return false;
  *hwid = call->chosen;
  return true;
}

void GuiShell::openChooser(const std::shared_ptr<ChooserCall>& call) {
  HwId initial;
  {
    plat::LockGuard lock(call->mutex);
    initial = call->chosen;
  }
  DeviceListDialog* d = makeDialog(true, initial);
  call->dialog = d;
  calls_.push_back(call);
  connect(d, &QDialog::finished, this, [this, d, call](int result) {
    const auto chosen = d->selected();
    if (result == QDialog::Accepted && chosen)
      call->answer(true, *chosen);
    else
      call->answer(false, {});
    closeChooser(call);
  });
  d->show();
}

void GuiShell::closeChooser(const std::shared_ptr<ChooserCall>& call) {
  std::erase(calls_, call);
  if (DeviceListDialog* d = call->dialog) {
    call->dialog = nullptr;
    d->hide();
    d->shutdown();
    d->deleteLater();
  }
}

DeviceListDialog* GuiShell::deviceList() const { return list_; }
AboutBox* GuiShell::aboutBox() const { return about_; }

std::vector<DeviceListDialog*> GuiShell::choosers() const {
  std::vector<DeviceListDialog*> out;
  for (const auto& c : calls_)
    if (c->dialog) out.push_back(c->dialog);
  return out;
}

void GuiShell::launchUpdater(DeviceListDialog* dialog, const HwId& id) {
  const UpdaterLaunch launch = hubui::launchUpdater(
      config_.company, config_.application ? config_.application() : "linkhub", id, config_.spawn);
  if (launch.ok) return;
  std::cerr << StderrFatalMessageBox::oneLine(launch.errorText) << std::endl;
  // Shown without waiting: the server goes on serving.
  auto* box = new QMessageBox(QMessageBox::Critical, kServerCaption, boxText(launch.errorText),
                              QMessageBox::Ok, dialog);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
}

void GuiShell::closeAll() {
  closing_ = true;
  for (const auto& call : std::vector(calls_)) {
    call->answer(false, {});
    closeChooser(call);
  }
  if (DeviceListDialog* d = list_) {
    list_ = nullptr;
    d->hide();
    d->shutdown();
    d->deleteLater();
  }
  if (AboutBox* b = about_) {
    about_ = nullptr;
    b->hide();
    b->deleteLater();
  }
  // Windows closed earlier are already shut down; let them go now, as the
  // event loop may not run again.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void GuiShell::quit() {
  // Nobody answers the icon from here on; the tray object itself goes only
  // at the end of the shutdown.
  if (tray_) tray_->icon()->hide();
  closeAll();
  QCoreApplication::quit();
}

}  // namespace hubui
