#include "linkhub/ui/Windows.h"

#include <QAction>
#include <QApplication>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "linkhub/ui/GuiShell.h"

using translayer::HwId;

namespace hubui {

namespace {

QString fromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

}  // namespace

QIcon programIcon() {
  QIcon icon;
  for (int size : {16, 22, 32, 48}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(0x1f, 0x5f, 0xa8));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(0.5, 0.5, size - 1, size - 1), size / 5.0, size / 5.0);
    // Two linked rings: devices joined to the server.
    QPen pen(Qt::white);
    pen.setWidthF(size / 10.0);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const double r = size * 0.22;
    p.drawEllipse(QPointF(size * 0.38, size * 0.5), r, r);
    p.drawEllipse(QPointF(size * 0.62, size * 0.5), r, r);
    p.end();
    icon.addPixmap(pm);
  }
  return icon;
}

// ---- about box -------------------------------------------------------------

AboutBox::AboutBox(const AboutTexts& texts, QWidget* parent) : QDialog(parent) {
  setWindowTitle(fromUtf8(texts.caption));
  setWindowIcon(programIcon());
  auto* iconLabel = new QLabel(this);
  iconLabel->setPixmap(programIcon().pixmap(32, 32));
  product_ = new QLabel(fromUtf8(texts.product), this);
  version_ = new QLabel(fromUtf8(texts.version), this);
  copyright_ = new QLabel(fromUtf8(texts.copyright), this);
  product_->setObjectName("product");
  version_->setObjectName("version");
  copyright_->setObjectName("copyright");
  auto* textColumn = new QVBoxLayout;
  textColumn->addWidget(product_);
  textColumn->addWidget(version_);
  textColumn->addWidget(copyright_);
  auto* top = new QHBoxLayout;
  top->addWidget(iconLabel, 0, Qt::AlignTop);
  top->addLayout(textColumn, 1);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(buttons);
}

// ---- tray ------------------------------------------------------------------

TrayIcon::TrayIcon(GuiShell* shell, const std::string& tooltip)
    : shell_(shell), menu_owner_(std::make_unique<QMenu>()), menu_(menu_owner_.get()) {
  menu_->setTitle("TrayMenu");
  devices_ = menu_->addAction("Devices...");
  about_ = menu_->addAction("About...");
  menu_->addSeparator();
  quit_ = menu_->addAction("Quit");
  menu_->setDefaultAction(devices_);
  QObject::connect(devices_, &QAction::triggered, shell_, [s = shell_] { s->openDeviceList(); });
  QObject::connect(about_, &QAction::triggered, shell_, [s = shell_] { s->openAbout(); });
  QObject::connect(quit_, &QAction::triggered, shell_, [s = shell_] { s->quit(); });

  icon_ = new QSystemTrayIcon(programIcon(), shell_);
  icon_->setToolTip(fromUtf8(tooltip));
  icon_->setContextMenu(menu_);
  QObject::connect(icon_, &QSystemTrayIcon::activated, shell_,
                   [this](QSystemTrayIcon::ActivationReason r) { activated(int(r)); });
  icon_->show();
  shell_->tray_ = this;
}

TrayIcon::~TrayIcon() {
  icon_->hide();
  delete icon_;
  if (shell_->tray_ == this) shell_->tray_ = nullptr;
}

void TrayIcon::activated(int reason) {
  switch (QSystemTrayIcon::ActivationReason(reason)) {
    case QSystemTrayIcon::DoubleClick:
      shell_->openDeviceList();
      break;
    case QSystemTrayIcon::Context:
      // The platform shows the context menu itself where it can.
      break;
    default:
      break;
  }
}

// ---- device list -----------------------------------------------------------

DeviceListDialog::DeviceListDialog(bool chooser, std::optional<HwId> initial, Env env,
                                   QWidget* parent)
    : QDialog(parent), chooser_(chooser), env_(std::move(env)), selected_(initial) {
  setWindowTitle("Devices available");
  setWindowIcon(programIcon());
  auto* label = new QLabel("&Devices:", this);
  list_ = new QTreeWidget(this);
  list_->setColumnCount(2);
  list_->setHeaderLabels({"HWID", "Name"});
  list_->setRootIsDecorated(false);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  list_->setAllColumnsShowFocus(true);
  list_->setMinimumWidth(520);
  list_->setColumnWidth(0, 260);
  label->setBuddy(list_);

  editor_ = new QLineEdit(list_->viewport());
  editor_->setObjectName("nameEditor");
  editor_->hide();
  editor_->installEventFilter(this);
  list_->installEventFilter(this);

  ok_ = new QPushButton("OK", this);
  cancel_ = new QPushButton("Cancel", this);
  ok_->setEnabled(false);
  // Enter and Esc are handled here, never by a default button.
  ok_->setAutoDefault(false);
  cancel_->setAutoDefault(false);
  ok_->setDefault(chooser_);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok_);
  buttons->addWidget(cancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(label);
  layout->addWidget(list_, 1);
  layout->addLayout(buttons);
  if (chooser_) {
    bringToFront_ = true;
  } else {
    ok_->hide();
    cancel_->setText("Close");
  }

  menu_ = new QMenu(this);
  menu_->setTitle("Tray");
  identify_ = menu_->addAction("Visual identification");
  reset_ = menu_->addAction("Reset");
  update_ = menu_->addAction("Firmware update");
  connect(identify_, &QAction::triggered, this,
          [this] { queueForSelected(RequestKind::kIdentify); });
  connect(reset_, &QAction::triggered, this, [this] { queueForSelected(RequestKind::kReset); });
  connect(update_, &QAction::triggered, this, [this] {
    if (selected_ && model_.rowOf(*selected_) >= 0 && env_.launchUpdater)
      env_.launchUpdater(this, *selected_);
  });

  connect(ok_, &QPushButton::clicked, this, [this] {
    if (chooser_ && selected_) accept();
  });
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
  connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] { selectionChanged(); });
  connect(list_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item, int column) {
    if (column == 1) startEdit(list_->indexOfTopLevelItem(item));
  });
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem*, int) {
    if (!editor_->isVisible() && chooser_ && selected_) accept();
  });
  connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    if (list_->selectedItems().isEmpty()) return;
    menu_->popup(list_->viewport()->mapToGlobal(pos));
  });
  connect(list_->header(), &QHeaderView::sectionResized, this, [this] { placeEditor(); });

  worker_ = std::make_unique<DeviceListWorker>(
      env_.access,
      [this](Result r) {
        QMetaObject::invokeMethod(
            this, [this, r = std::move(r)] { onResult(r); }, Qt::QueuedConnection);
      },
      [this](bool busy) {
        QMetaObject::invokeMethod(
            this, [this, busy] { setBusy(busy); }, Qt::QueuedConnection);
      },
      env_.identifyPauseMs);
  // Listening before the first refresh, so that no change falls between.
  if (env_.manager) {
    env_.manager->addListener(this);
    listening_ = true;
  }
  refresh();
  worker_->start();
}

DeviceListDialog::~DeviceListDialog() { shutdown(); }

void DeviceListDialog::shutdown() {
  // The listener first: no "list changed" may reach a window being torn down.
  if (listening_) {
    env_.manager->removeListener(this);
    listening_ = false;
  }
  if (worker_) worker_->stop();
  editor_->hide();
}

void DeviceListDialog::onDeviceListed(const HwId* id) { listed_.push_back(*id); }

void DeviceListDialog::onListChanged() {
  QMetaObject::invokeMethod(
      this, [this] { refresh(); }, Qt::QueuedConnection);
}

void DeviceListDialog::refresh() {
  listed_.clear();
  if (env_.manager) env_.manager->enumerateDevices(this);
  worker_->dropNameReads();
  const std::vector<Request> reads = model_.refresh(listed_);
  const QSignalBlocker block(list_);
  list_->clear();
  const auto& rows = model_.rows();
  for (size_t i = 0; i < rows.size(); ++i) {
    auto* item = new QTreeWidgetItem(list_);
    item->setText(0, QString::fromStdString(rows[i].hex));
    item->setText(1, fromUtf8(rows[i].name));
  }
  int selectedRow = selected_ ? model_.rowOf(*selected_) : -1;
  if (selectedRow >= 0) {
    list_->setCurrentItem(list_->topLevelItem(selectedRow));
    list_->topLevelItem(selectedRow)->setSelected(true);
  }
  ok_->setEnabled(selectedRow >= 0);
  if (!rows.empty()) {
    list_->resizeColumnToContents(0);
    list_->resizeColumnToContents(1);
  }
  if (editor_->isVisible() && !model_.editing()) editor_->hide();
  placeEditor();
  for (const Request& r : reads) worker_->push(r);
}

void DeviceListDialog::updateRowText(int row) {
  if (row < 0 || row >= list_->topLevelItemCount()) return;
  list_->topLevelItem(row)->setText(1, fromUtf8(model_.rows()[size_t(row)].name));
}

void DeviceListDialog::onResult(const Result& result) {
  const auto applied = model_.apply(result);
  updateRowText(applied.row);
  if (editor_->isVisible() && !model_.editing()) editor_->hide();
}

void DeviceListDialog::setBusy(bool busy) {
  if (busy == busy_) return;
  busy_ = busy;
  if (busy)
    setCursor(Qt::BusyCursor);
  else
    unsetCursor();
}

void DeviceListDialog::selectionChanged() {
  const auto items = list_->selectedItems();
  if (items.isEmpty()) {
    ok_->setEnabled(false);
    return;
  }
  const int row = list_->indexOfTopLevelItem(items.front());
  if (row >= 0 && size_t(row) < model_.rows().size()) selected_ = model_.rows()[size_t(row)].hwid;
  ok_->setEnabled(true);
}

void DeviceListDialog::queueForSelected(RequestKind kind) {
  if (!selected_ || model_.rowOf(*selected_) < 0) return;
  worker_->push(Request{kind, *selected_, {}});
}

bool DeviceListDialog::startEdit(int row) {
  if (!model_.beginEdit(row)) return false;
  editor_->setText(fromUtf8(model_.rows()[size_t(row)].name));
  editor_->setFont(list_->font());
  placeEditor();
  editor_->show();
  editor_->setFocus();
  editor_->selectAll();
  return true;
}

void DeviceListDialog::placeEditor() {
  if (!model_.editing()) return;
  const int row = model_.rowOf(*model_.editing());
  if (row < 0) return;
  QTreeWidgetItem* item = list_->topLevelItem(row);
  if (!item) return;
  QRect cell = list_->visualItemRect(item);
  cell.setLeft(list_->columnViewportPosition(1));
  cell.setWidth(list_->columnWidth(1));
  editor_->setGeometry(cell);
}

void DeviceListDialog::commitEdit() {
  const std::string text = editor_->text().toStdString();  // QString to UTF-8 never fails
  auto request = model_.commitEdit(text);
  editor_->hide();
  if (!request) return;
  updateRowText(model_.rowOf(request->hwid));
  worker_->push(std::move(*request));
}

void DeviceListDialog::cancelEdit() {
  model_.cancelEdit();
  editor_->hide();
}

bool DeviceListDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == editor_) {
    if (event->type() == QEvent::KeyPress) {
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        commitEdit();
        return true;
      }
      if (key == Qt::Key_Escape) {
        cancelEdit();
        return true;
      }
    } else if (event->type() == QEvent::FocusOut && editor_->isVisible()) {
      cancelEdit();
    }
  } else if (watched == list_ && event->type() == QEvent::KeyPress) {
    if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_F2) {
      const auto items = list_->selectedItems();
      if (!items.isEmpty()) startEdit(list_->indexOfTopLevelItem(items.front()));
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void DeviceListDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (bringToFront_) {
    bringToFront_ = false;
    raise();
    activateWindow();
  }
}

}  // namespace hubui
