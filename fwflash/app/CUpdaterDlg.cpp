#include "CUpdaterDlg.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTextStream>
#include <QVBoxLayout>
#include <iterator>

namespace fwflash {
namespace {

const QEvent::Type kUpdaterEventType = QEvent::Type(QEvent::User + 0x100);

class UpdaterQEvent : public QEvent {
 public:
  explicit UpdaterQEvent(std::unique_ptr<UpdaterEvent> e)
      : QEvent(kUpdaterEventType), event(std::move(e)) {}
  std::unique_ptr<UpdaterEvent> event;
};

QString fromU16(const std::u16string& text) {
  return QString::fromUtf16(text.data(), qsizetype(text.size()));
}

QLabel* sunken(QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  label->setMinimumWidth(220);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

}  // namespace

QIcon updaterIcon() {
  QIcon icon;
  for (int size : kUpdaterIconSizes) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    // A package being written into the device: a green chip, a white arrow.
    p.setBrush(QColor(0x2e, 0x7d, 0x32));
    p.drawRoundedRect(QRectF(0.5, 0.5, size - 1, size - 1), size / 5.0, size / 5.0);
    p.setBrush(Qt::white);
    const double s = size;
    const QPointF arrow[] = {{s * 0.40, s * 0.18}, {s * 0.60, s * 0.18}, {s * 0.60, s * 0.50},
                             {s * 0.76, s * 0.50}, {s * 0.50, s * 0.80}, {s * 0.24, s * 0.50},
                             {s * 0.40, s * 0.50}};
    p.drawPolygon(arrow, int(std::size(arrow)));
    p.end();
    icon.addPixmap(pm);
  }
  return icon;
}

void QtFilePicker::pick(QWidget* parent, const QString& current,
                        std::function<void(const QString&)> chosen) {
  auto* dialog =
      new QFileDialog(parent, QString(), current, "Firmware Files (*.xpk);;All Files (*)");
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  QObject::connect(dialog, &QFileDialog::fileSelected, dialog,
                   [chosen](const QString& path) { chosen(path); });
  dialog->open();
}

CUpdaterDlg::CUpdaterDlg(UpdaterDialogSetup setup, QWidget* parent)
    : QDialog(parent), setup_(std::move(setup)), logic_(*this) {
  setWindowTitle(setup_.title);
  setWindowIcon(updaterIcon());
  buildControls();
  logic_.init(hwIdText(setup_.hwid));
  logLine("title " + setup_.title);
  worker_ = std::make_unique<CommMgr>(*setup_.device, *setup_.files,
                                      static_cast<UpdaterEventSink&>(*this), setup_.worker);
  worker_->setHwId(setup_.hwid);
  worker_->start();
}

CUpdaterDlg::~CUpdaterDlg() {
  worker_->pushCommand({kCommandQuit, {}, {}, {}});
  worker_->join();
  worker_.reset();
  if (logic_.busy()) unsetCursor();
}

void CUpdaterDlg::buildControls() {
  auto* top = new QVBoxLayout(this);

  auto* browse = new QGroupBox("Browse", this);
  auto* browseRow = new QHBoxLayout(browse);
  browseRow->addWidget(new QLabel("Firmware file:", browse));
  QLabel* path = sunken(browse);
  path->setMinimumWidth(320);
  controls_[kFilePath] = path;
  browseRow->addWidget(path, 1);
  auto* dots = new QPushButton("...", browse);
  controls_[kBrowseButton] = dots;
  browseRow->addWidget(dots);
  top->addWidget(browse);

  const char* names[] = {"Version:", "Target:", "Sub-target:", "Description:"};
  auto infoGroup = [&](const char* caption, int labelFirst, int valueFirst) {
    auto* group = new QGroupBox(caption, this);
    auto* grid = new QGridLayout(group);
    for (int i = 0; i < 4; ++i) {
      auto* label = new QLabel(names[i], group);
      controls_[labelFirst + i] = label;
      QLabel* value = sunken(group);
      controls_[valueFirst + i] = value;
      grid->addWidget(label, i, 0);
      grid->addWidget(value, i, 1);
    }
    return group;
  };
  auto* infos = new QHBoxLayout();
  infos->addWidget(infoGroup("Firmware file info", kPackageLabelFirst, kPackageVersion));
  infos->addWidget(infoGroup("Device firmware info", kDeviceLabelFirst, kDeviceVersion));
  top->addLayout(infos);

  auto* ids = new QGridLayout();
  ids->addWidget(new QLabel("HWID:", this), 0, 0);
  controls_[kHwIdField] = sunken(this);
  ids->addWidget(controls_[kHwIdField], 0, 1);
  ids->addWidget(new QLabel("Name:", this), 1, 0);
  controls_[kNameField] = sunken(this);
  ids->addWidget(controls_[kNameField], 1, 1);
  top->addLayout(ids);

  auto* buttons = new QHBoxLayout();
  auto* reset = new QPushButton("Reset", this);
  auto* download = new QPushButton("Download", this);
  reset->setAutoDefault(false);
  download->setAutoDefault(false);
  dots->setAutoDefault(false);
  controls_[kResetButton] = reset;
  controls_[kDownloadButton] = download;
  progress_ = new QProgressBar(this);
  progress_->setRange(0, kProgressRange);
  progress_->setTextVisible(false);
  controls_[kProgressBar] = progress_;
  buttons->addWidget(progress_, 1);
  buttons->addWidget(reset);
  buttons->addWidget(download);
  top->addLayout(buttons);

  connect(dots, &QPushButton::clicked, this, &CUpdaterDlg::onBrowse);
  connect(reset, &QPushButton::clicked, this, &CUpdaterDlg::onReset);
  connect(download, &QPushButton::clicked, this, &CUpdaterDlg::onDownload);
}

QWidget* CUpdaterDlg::control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

QString CUpdaterDlg::controlText(int id) const {
  auto* label = qobject_cast<QLabel*>(control(id));
  return label ? label->text() : QString();
}

void CUpdaterDlg::activate() {
  showNormal();
  raise();
  activateWindow();
  logLine("activated");
}

void CUpdaterDlg::onBrowse() {
  if (logic_.busy()) return;
  setup_.picker->pick(this, controlText(kFilePath), [this](const QString& path) {
    if (!path.isEmpty() && !logic_.busy()) loadPackage(path);
  });
}

void CUpdaterDlg::loadPackage(const QString& path) {
  const std::string file = path.toStdString();
  std::optional<ModuleInfo> info;
  std::vector<uint8_t> bytes;
  ModuleInfo read;
  if (loadPackageFile(file, &bytes) && readModuleInfo(bytes, &read)) info = read;
  package_ = info ? std::move(bytes) : std::vector<uint8_t>();
  logic_.packageChosen(file, info);
}

void CUpdaterDlg::onDownload() {
  if (!logic_.startDownload()) return;
  worker_->pushCommand({kCommandUpgrade, "root", "fw.xpk", package_});
}

void CUpdaterDlg::onReset() {
  if (logic_.busy() || !logic_.connected()) return;
  worker_->pushCommand({kCommandReset, {}, {}, {}});
}

void CUpdaterDlg::reject() {
  if (logic_.mayClose()) QDialog::reject();
}

void CUpdaterDlg::closeEvent(QCloseEvent* event) {
  if (logic_.mayClose())
    QDialog::closeEvent(event);
  else
    event->ignore();
}

void CUpdaterDlg::post(std::unique_ptr<UpdaterEvent> event) {
  QCoreApplication::postEvent(this, new UpdaterQEvent(std::move(event)));
}

void CUpdaterDlg::customEvent(QEvent* event) {
  if (event->type() != kUpdaterEventType) return QDialog::customEvent(event);
  const UpdaterEvent& e = *static_cast<UpdaterQEvent*>(event)->event;
  logic_.onEvent(e);
  if (e.code == kEventConnected) logLine("connected");
  if (e.code == kEventVersion) logLine("device version " + fromU16(e.text));
  if (e.code == kEventDisconnected) logLine("disconnected");
  if (e.code == kEventOperationEnd) logLine(QString("end %1 %2").arg(e.ok).arg(fromU16(e.text)));
}

void CUpdaterDlg::setControlText(int id, const std::u16string& text) {
  if (auto* label = qobject_cast<QLabel*>(control(id))) label->setText(fromU16(text));
}

void CUpdaterDlg::setControlEnabled(int id, bool enabled) {
  if (QWidget* w = control(id)) w->setEnabled(enabled);
}

void CUpdaterDlg::setProgress(int position) { progress_->setValue(position); }

void CUpdaterDlg::setBusyCursor(bool busy) {
  if (busy)
    setCursor(Qt::BusyCursor);
  else
    unsetCursor();
}

void CUpdaterDlg::showWarning(const std::u16string& text) {
  auto* box =
      new QMessageBox(QMessageBox::Warning, windowTitle(), fromU16(text), QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setObjectName("fwflashWarning");
  box->open();
  logLine("warning " + fromU16(text));
}

void CUpdaterDlg::logLine(const QString& line) {
  if (setup_.eventLog.isEmpty()) return;
  QFile file(setup_.eventLog);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) return;
  QTextStream(&file) << line << '\n';
}

}  // namespace fwflash
