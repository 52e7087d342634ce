// The server's windows on the offscreen platform, with the server core in
// this process over the in-process media and emulated devices that run the
// devsim core service: the tray menu and about box, the device list with two
// devices, renaming, the context menu, the chooser answering clients, the
// updater launch and Quit with windows open.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTreeWidget>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <thread>

#include "devmgr/devmgr.h"
#include "devsim/CoreService.h"
#include "devsim/InProcessMedia.h"
#include "devsim/InProcessMediaRecord.h"
#include "linkhub/TrIfServer.h"
#include "linkhub/TransportManager.h"
#include "linkhub/ui/GuiShell.h"
#include "linkhub/ui/Windows.h"
#include "plat/runtime.h"

using linkhub::TransportManager;
using linkhub::TrayOwner;
using linkhub::TrIfServer;

using translayer::HwId;

namespace {

using namespace hubui;
using Clock = std::chrono::steady_clock;
using devsim::CoreState;

constexpr auto kWait = std::chrono::seconds(20);  // generous: never the machine's speed
constexpr uint8_t kCoreGetFriendlyName = 26;

HwId idOf(uint8_t first) {
  HwId id;
  for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(first + i);
  return id;
}

// Runs the GUI thread's events until `done` or the bound.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds bound = kWait) {
  const auto deadline = Clock::now() + bound;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string nameCell(DeviceListDialog* d, int row) {
  auto* item = d->list()->topLevelItem(row);
  return item ? item->text(1).toStdString() : "<no row>";
}
std::string hexCell(DeviceListDialog* d, int row) {
  auto* item = d->list()->topLevelItem(row);
  return item ? item->text(0).toStdString() : "<no row>";
}

class UiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = plat::makeTempDir("ui-widgets-");
    ASSERT_FALSE(dir_.empty());
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", dir_);
    plat::setEnvironment("LINKHUB_REGISTRY", dir_ + "/registry.reg");
    GuiShell::Config config;
    config.manager = [this] { return &manager_; };
    config.application = [] { return std::string("linkhub"); };
    config.identifyPauseMs = identifyPauseMs_;
    shell_ = std::make_unique<GuiShell>(config);
    manager_.addMedia(devsim::inProcessMediaRecord());
    manager_.start();
    server_ = std::make_unique<TrIfServer>(&manager_, shell_.get());
    ASSERT_TRUE(server_->start());
  }
  void TearDown() override {
    shell_->closeAll();
    server_->stop();
    manager_.stop();
    server_.reset();
    shell_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // A device with its core state; a reset takes it off the media and back.
  uint32_t attach(const HwId& id, const std::shared_ptr<CoreState>& core) {
    devsim::DeviceConfig config;
    config.hwid = id;
    const uint32_t index = media_.addDevice(config);
    media_.device(index).registerService(base::kProtocolCore, devsim::CoreService::factory(core));
    devices_[id] = {index, core};
    core->setResetHook([this, id] { resetAsked_[id.id[0]] = true; });
    return index;
  }
  std::shared_ptr<CoreState> addDevice(const HwId& id, const std::string& name) {
    devsim::CoreConfig config;
    config.friendlyName = name;
    config.maxFriendlyName = 255;
    auto core = std::make_shared<CoreState>(config);
    attach(id, core);
    EXPECT_TRUE(pumpUntil([&] { return online(id); })) << "device did not come online";
    return core;
  }
  void removeDevice(const HwId& id) {
    media_.removeDevice(devices_.at(id).index);
    devices_.erase(id);
  }
  // Replugs the devices that asked for a reset (on this thread, not theirs).
  void serviceResets() {
    for (auto& [first, asked] : resetAsked_) {
      if (!asked.exchange(false)) continue;
      for (auto& entry : devices_) {
        const HwId id = entry.first;
        if (id.id[0] != first) continue;
        auto core = entry.second.core;
        media_.removeDevice(entry.second.index);
        pumpUntil([&] { return !online(id); });
        attach(id, core);
        break;
      }
    }
  }
  bool online(const HwId& id) const {
    const auto ids = manager_.onlineDevices();
    return std::find(ids.begin(), ids.end(), id) != ids.end();
  }
  void writeRegistry(const std::string& valueLine) {
    std::ofstream f(dir_ + "/registry.reg");
    f << "Windows Registry Editor Version "
         "5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\linkhub]\n"
      << valueLine << "\n";
  }
  DeviceListDialog* openList() {
    shell_->openDeviceList();
    return shell_->deviceList();
  }
  bool rowsAre(DeviceListDialog* d, const std::vector<std::pair<HwId, std::string>>& rows) {
    if (d->list()->topLevelItemCount() != int(rows.size())) return false;
    for (size_t i = 0; i < rows.size(); ++i)
      if (hexCell(d, int(i)) != hexUpper(rows[i].first) || nameCell(d, int(i)) != rows[i].second)
        return false;
    return true;
  }
  void selectRow(DeviceListDialog* d, int row) {
    d->list()->setCurrentItem(d->list()->topLevelItem(row));
    d->list()->topLevelItem(row)->setSelected(true);
  }

  int identifyPauseMs_ = 300;
  std::string dir_;
  devsim::InProcessMedia media_;
  TransportManager manager_;
  std::unique_ptr<TrIfServer> server_;
  std::unique_ptr<GuiShell> shell_;
  struct Attached {
    uint32_t index;
    std::shared_ptr<CoreState> core;
  };
  std::map<HwId, Attached> devices_;
  std::map<uint8_t, std::atomic<bool>> resetAsked_;
};

TEST_F(UiTest, TrayMenuTooltipAndAboutBox) {
  std::unique_ptr<TrayOwner> owner = shell_->serverUi().createTray();
  auto* tray = dynamic_cast<TrayIcon*>(owner.get());
  ASSERT_NE(nullptr, tray);
  EXPECT_EQ(tray, shell_->tray());
  QStringList texts;
  for (QAction* a : tray->menu()->actions()) texts << (a->isSeparator() ? "-" : a->text());
  EXPECT_EQ((QStringList{"Devices...", "About...", "-", "Quit"}), texts);
  EXPECT_EQ(tray->devicesAction(), tray->menu()->defaultAction());
  EXPECT_EQ(tray->menu(), tray->icon()->contextMenu());
  EXPECT_EQ("Connection Server", tray->icon()->toolTip().toStdString());
  EXPECT_TRUE(tray->icon()->isVisible());  // made whatever the platform says of tray support

  // A double click opens the list; "Devices..." again raises the same one.
  tray->activated(QSystemTrayIcon::Trigger);
  EXPECT_EQ(nullptr, shell_->deviceList());
  tray->activated(QSystemTrayIcon::DoubleClick);
  DeviceListDialog* list = shell_->deviceList();
  ASSERT_NE(nullptr, list);
  tray->devicesAction()->trigger();
  EXPECT_EQ(list, shell_->deviceList());
  const QWidgetList windows = QApplication::topLevelWidgets();
  EXPECT_EQ(1, int(std::count_if(windows.begin(), windows.end(), [](QWidget* w) {
              return qobject_cast<DeviceListDialog*>(w) && w->isVisible();
            })));
  EXPECT_FALSE(list->chooserMode());
  EXPECT_FALSE(list->okButton()->isVisible());
  EXPECT_EQ("Close", list->cancelButton()->text().toStdString());
  EXPECT_EQ("Devices available", list->windowTitle().toStdString());

  tray->aboutAction()->trigger();
  AboutBox* about = shell_->aboutBox();
  ASSERT_NE(nullptr, about);
  EXPECT_EQ("Connection Server", about->windowTitle().toStdString());
  EXPECT_EQ("Connection Server", about->product()->text().toStdString());
  EXPECT_EQ("Version 1.6.6.0", about->version()->text().toStdString());
  EXPECT_EQ(UI_TEST_COPYRIGHT, about->copyright()->text().toStdString());

  // Closing the list leaves the server and the tray as they were.
  list->cancelButton()->click();
  EXPECT_TRUE(pumpUntil([&] { return shell_->deviceList() == nullptr; }));
  EXPECT_FALSE(shell_->closing());
  tray->devicesAction()->trigger();
  EXPECT_NE(nullptr, shell_->deviceList());

  owner.reset();
  EXPECT_EQ(nullptr, shell_->tray());
}

TEST_F(UiTest, ListFollowsTheDevicesAndRenames) {
  const HwId a = idOf(0x40), b = idOf(0x10), c = idOf(0x70);
  auto coreA = addDevice(a, std::string(256, 'n'));  // a name of 256 bytes, no terminator
  auto coreB = addDevice(b, "bench unit");
  DeviceListDialog* list = openList();
  ASSERT_NE(nullptr, list);
  ASSERT_TRUE(pumpUntil([&] {
    return rowsAre(list, {{b, "bench unit"}, {a, std::string(256, 'n')}});
  })) << hexCell(list, 0)
      << " " << nameCell(list, 0);

  // One leaves, another comes.
  removeDevice(a);
  auto coreC = addDevice(c, "third");
  ASSERT_TRUE(pumpUntil([&] { return rowsAre(list, {{b, "bench unit"}, {c, "third"}}); }));

  // F2 on the selected row, Enter stores; the dialog stays open.
  list->show();
  list->activateWindow();
  selectRow(list, 0);
  QTest::keyClick(list->list(), Qt::Key_F2);
  ASSERT_TRUE(list->editor()->isVisible());
  list->editor()->setText("renamed by key");
  QTest::keyClick(list->editor(), Qt::Key_Return);
  EXPECT_FALSE(list->editor()->isVisible());
  EXPECT_TRUE(list->isVisible());
  ASSERT_TRUE(pumpUntil([&] { return coreB->friendlyName() == "renamed by key"; }));
  EXPECT_EQ("renamed by key", nameCell(list, 0));

  // A stored name is not read back: a read that would fail now leaves the
  // row as it was, still editable.
  devsim::CoreReplyFault failedRead;
  failedRead.code = 1;
  coreB->setFault(kCoreGetFriendlyName, failedRead);
  coreB->clearRecords();
  ASSERT_TRUE(list->startEdit(0));
  list->editor()->setText("stored once");
  QTest::keyClick(list->editor(), Qt::Key_Return);
  ASSERT_TRUE(pumpUntil([&] { return coreB->friendlyName() == "stored once"; }));
  pumpUntil([] { return false; }, std::chrono::milliseconds(500));
  ASSERT_TRUE(pumpUntil([&] { return !list->busy(); }));
  EXPECT_EQ("stored once", nameCell(list, 0));
  ASSERT_EQ(1u, coreB->requests().size()) << "only the store reached the device";
  EXPECT_EQ(devsim::kCoreSetFriendlyName, coreB->requests()[0].code);
  ASSERT_TRUE(list->startEdit(0));
  QTest::keyClick(list->editor(), Qt::Key_Escape);
  coreB->clearFaults();

  // A click on the Name cell; Esc cancels the edit only.
  auto* item = list->list()->topLevelItem(1);
  QRect cell = list->list()->visualItemRect(item);
  cell.setLeft(list->list()->columnViewportPosition(1));
  QTest::mouseClick(list->list()->viewport(), Qt::LeftButton, {}, cell.center());
  ASSERT_TRUE(list->editor()->isVisible());
  EXPECT_EQ("third", list->editor()->text().toStdString());
  list->editor()->setText("not stored");
  QTest::keyClick(list->editor(), Qt::Key_Escape);
  EXPECT_FALSE(list->editor()->isVisible());
  EXPECT_TRUE(list->isVisible());
  EXPECT_EQ("third", nameCell(list, 1));

  // A click, then a long name in two-byte characters: cut at a whole
  // character, and what the device kept is shown.
  QTest::mouseClick(list->list()->viewport(), Qt::LeftButton, {}, cell.center());
  ASSERT_TRUE(list->editor()->isVisible());
  list->editor()->setText(QString(200, QChar(0x00FC)));  // 400 bytes of UTF-8
  QTest::keyClick(list->editor(), Qt::Key_Enter);
  std::string expected;
  for (int i = 0; i < 127; ++i) expected += "\xC3\xBC";  // 254 bytes
  ASSERT_TRUE(pumpUntil([&] {
    return coreC->friendlyName() == expected && nameCell(list, 1) == expected;
  })) << nameCell(list, 1).size();

  // Focus loss discards an edit.
  ASSERT_TRUE(list->startEdit(0));
  list->editor()->setText("lost on focus");
  list->cancelButton()->setFocus();
  QFocusEvent out(QEvent::FocusOut, Qt::MouseFocusReason);
  QApplication::sendEvent(list->editor(), &out);
  EXPECT_FALSE(list->editor()->isVisible());
  pumpUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ("stored once", coreB->friendlyName());
}

TEST_F(UiTest, DeviceErrorsShowTheirTexts) {
  const HwId refusing = idOf(0x20), silent = idOf(0x30);
  devsim::CoreConfig small;
  small.friendlyName = "small";
  small.maxFriendlyName = 8;
  auto coreR = std::make_shared<CoreState>(small);
  attach(refusing, coreR);
  auto coreS = addDevice(silent, "quiet");
  ASSERT_TRUE(pumpUntil([&] { return online(refusing); }));
  devsim::CoreReplyFault mute;
  mute.silent = true;
  coreS->setFault(kCoreGetFriendlyName, mute);

  // A name that is not UTF-8 takes the same path as a failed read.
  const HwId garbled = idOf(0x40);
  addDevice(garbled, "bad \xC3\x28 name");

  DeviceListDialog* list = openList();
  ASSERT_TRUE(pumpUntil([&] {
    return nameCell(list, 0) == "small" && nameCell(list, 1) == kNameReadError &&
           nameCell(list, 2) == kNameReadError;
  })) << nameCell(list, 0)
      << " / " << nameCell(list, 1) << " / " << nameCell(list, 2);
  EXPECT_FALSE(list->startEdit(1));  // not editable
  EXPECT_FALSE(list->startEdit(2));
  ASSERT_TRUE(list->startEdit(0));
  list->editor()->setText("far too long for it");
  QTest::keyClick(list->editor(), Qt::Key_Return);
  ASSERT_TRUE(pumpUntil([&] { return nameCell(list, 0) == kNameStoreError; }));
  EXPECT_EQ("small", coreR->friendlyName());
  EXPECT_FALSE(list->startEdit(0));
}

TEST_F(UiTest, IdentifyAndResetReachTheDevice) {
  const HwId a = idOf(0x50);
  auto core = addDevice(a, "blinker");
  DeviceListDialog* list = openList();
  ASSERT_TRUE(pumpUntil([&] { return nameCell(list, 0) == "blinker"; }));
  selectRow(list, 0);
  list->identifyAction()->trigger();
  ASSERT_TRUE(pumpUntil([&] { return !core->identifications().empty(); }));
  EXPECT_EQ(std::vector<uint16_t>{3000}, core->identifications());

  list->resetAction()->trigger();
  ASSERT_TRUE(pumpUntil([&] {
    serviceResets();
    return core->resets() > 0;
  }));
  // It leaves and comes back with its name.
  ASSERT_TRUE(pumpUntil([&] {
    serviceResets();
    return online(a) && list->list()->topLevelItemCount() == 1 && nameCell(list, 0) == "blinker" &&
           !list->busy();
  }));
}

TEST_F(UiTest, RefreshDuringASlowReadKeepsNamesOnTheirDevices) {
  const HwId slow = idOf(0x01), fast = idOf(0x02);
  auto coreSlow = addDevice(slow, "slow one");
  auto coreFast = addDevice(fast, "fast one");
  devsim::CoreReplyFault late;
  late.delayMs = 800;
  coreSlow->setFault(kCoreGetFriendlyName, late);
  DeviceListDialog* list = openList();
  ASSERT_TRUE(pumpUntil([&] { return list->busy(); }));
  // The slow device goes while its name is on its way; the fast one now has
  // row 0, where the slow one's result would have landed by index.
  removeDevice(slow);
  ASSERT_TRUE(pumpUntil([&] { return list->list()->topLevelItemCount() == 1; }));
  ASSERT_TRUE(pumpUntil([&] { return nameCell(list, 0) == "fast one" && !list->busy(); }));
  pumpUntil([] { return false; }, std::chrono::milliseconds(1200));
  EXPECT_EQ("fast one", nameCell(list, 0));
  EXPECT_EQ(hexUpper(fast), hexCell(list, 0));
}

struct Asked {
  std::thread thread;
  std::atomic<bool> done{false};
  bool result = false;
  HwId id{};
  Clock::time_point answeredAt;
  void start(const HwId& initial) {
    id = initial;
    thread = std::thread([this] {
      result = DevmgrAskUserDeviceSelection(id.id, sizeof id.id);
      answeredAt = Clock::now();
      done = true;
    });
  }
  ~Asked() {
    if (thread.joinable()) thread.join();
  }
};

TEST_F(UiTest, ChoosersAnswerTheirClientsInAnyOrder) {
  const HwId a = idOf(0x11), b = idOf(0x22);
  addDevice(a, "alpha");
  addDevice(b, "beta");

  Asked first, second;
  first.start(b);
  ASSERT_TRUE(pumpUntil([&] { return shell_->choosers().size() == 1; }));
  second.start(a);
  ASSERT_TRUE(pumpUntil([&] { return shell_->choosers().size() == 2; }));
  DeviceListDialog* c1 = shell_->choosers()[0];
  DeviceListDialog* c2 = shell_->choosers()[1];
  ASSERT_TRUE(pumpUntil([&] {
    return c1->list()->topLevelItemCount() == 2 && c2->list()->topLevelItemCount() == 2;
  }));
  // The caller's device is selected.
  ASSERT_TRUE(c1->selected().has_value());
  EXPECT_EQ(b, *c1->selected());
  EXPECT_EQ(1, c1->list()->indexOfTopLevelItem(c1->list()->selectedItems().value(0)));
  EXPECT_TRUE(c1->okButton()->isVisible());
  EXPECT_TRUE(c1->okButton()->isEnabled());
  EXPECT_EQ("Cancel", c1->cancelButton()->text().toStdString());

  // The second answers first: OK with another device chosen.
  selectRow(c2, 1);
  c2->okButton()->click();
  ASSERT_TRUE(pumpUntil([&] { return second.done.load(); }));
  EXPECT_TRUE(second.result);
  EXPECT_EQ(b, second.id);
  EXPECT_FALSE(first.done.load());
  // Then the first is cancelled: false and the id unchanged.
  c1->cancelButton()->click();
  ASSERT_TRUE(pumpUntil([&] { return first.done.load(); }));
  EXPECT_FALSE(first.result);
  EXPECT_EQ(b, first.id);
  EXPECT_TRUE(pumpUntil([&] { return shell_->choosers().empty(); }));
}

TEST_F(UiTest, ServerStopAnswersAnOpenChooser) {
  addDevice(idOf(0x33), "gamma");
  Asked asked;
  asked.start(idOf(0x33));
  ASSERT_TRUE(pumpUntil([&] { return shell_->choosers().size() == 1; }));
  const auto start = Clock::now();
  server_->stop();  // from the GUI thread, which does not run its events meanwhile
  ASSERT_TRUE(pumpUntil([&] { return asked.done.load(); }));
  EXPECT_FALSE(asked.result);
  EXPECT_LT(asked.answeredAt - start, kWait);
  EXPECT_TRUE(pumpUntil([&] { return shell_->choosers().empty(); }));
}

// An identification pause that would outlast any test: only the stop ends it.
class UiQuitTest : public UiTest {
 protected:
  UiQuitTest() { identifyPauseMs_ = 600000; }
};

TEST_F(UiQuitTest, QuitWithWindowsOpenAndAnIdentificationRunning) {
  const HwId a = idOf(0x44);
  auto core = addDevice(a, "busy");

  DeviceListDialog* list = openList();
  ASSERT_TRUE(pumpUntil([&] { return nameCell(list, 0) == "busy"; }));
  selectRow(list, 0);
  list->identifyAction()->trigger();
  ASSERT_TRUE(pumpUntil([&] { return !core->identifications().empty() && list->busy(); }));
  Asked asked;
  asked.start(a);
  ASSERT_TRUE(pumpUntil([&] { return shell_->choosers().size() == 1; }));

  std::unique_ptr<TrayOwner> tray = shell_->serverUi().createTray();
  ASSERT_NE(nullptr, shell_->tray());
  ASSERT_TRUE(shell_->tray()->icon()->isVisible());

  const auto start = Clock::now();
  shell_->quit();
  EXPECT_FALSE(shell_->tray()->icon()->isVisible()) << "the icon goes before the shutdown";
  EXPECT_TRUE(shell_->closing());
  EXPECT_EQ(nullptr, shell_->deviceList());
  EXPECT_TRUE(shell_->choosers().empty());
  ASSERT_TRUE(pumpUntil([&] { return asked.done.load(); }));
  EXPECT_FALSE(asked.result);
  EXPECT_LT(asked.answeredAt - start, kWait);
  // Then the server stops as the program's exit does; nothing hangs.
  server_->stop();
  manager_.stop();
  EXPECT_LT(Clock::now() - start, kWait);
  // No new chooser once closing.
  HwId id = a;
  EXPECT_FALSE(shell_->chooseDevice(&id, 0, std::stop_token{}));
}

TEST_F(UiTest, FirmwareUpdateLaunchesTheConfiguredCommand) {
  const HwId a = idOf(0xC0);
  addDevice(a, "to update");
  const std::string record = dir_ + "/record";
  plat::setEnvironment("SPAWN_RECORDER_OUT", record);
  writeRegistry("\"Updater\"=\"\\\"" SPAWN_RECORDER "\\\" --from \\\"the list\\\"\"");
  DeviceListDialog* list = openList();
  ASSERT_TRUE(pumpUntil([&] { return nameCell(list, 0) == "to update"; }));
  selectRow(list, 0);
  list->updateAction()->trigger();
  ASSERT_TRUE(pumpUntil([&] { return std::filesystem::exists(record); }));
  std::ifstream f(record);
  std::vector<std::string> args, fds;
  std::string sigblk;
  for (std::string line; std::getline(f, line);) {
    if (line.rfind("arg=", 0) == 0) args.push_back(line.substr(4));
    if (line.rfind("fd=", 0) == 0) fds.push_back(line.substr(3));
    if (line.rfind("sigblk=", 0) == 0) sigblk = line.substr(7);
  }
  EXPECT_EQ((std::vector<std::string>{"--from", "the list", "c0c1c2c3c4c5c6c7c8c9cacbcccdcecf"}),
            args);
  EXPECT_EQ("0000000000000000", sigblk);
  for (const std::string& fd : fds) EXPECT_LE(std::atoi(fd.c_str()), 2);
  EXPECT_TRUE(list->findChildren<QMessageBox*>().isEmpty());
  errno = 0;
  EXPECT_EQ(-1, ::waitpid(-1, nullptr, WNOHANG));  // no zombie of ours
  EXPECT_EQ(ECHILD, errno);
  ::unsetenv("SPAWN_RECORDER_OUT");
}

TEST_F(UiTest, FirmwareUpdateRegistryFailuresShowABoxAndTheServerGoesOn) {
  const HwId a = idOf(0xD0);
  addDevice(a, "stays");
  struct Case {
    std::string line;
    std::string systemText;
  };
  const Case cases[] = {
      {"\"Other\"=\"x\"", "The system cannot find the file specified."},
      {"\"Updater\"=dword:00000002", "Data of this type is not supported."},
      {"\"Updater\"=\"" + std::string(260, 'u') + "\"", "More data is available."},
  };
  DeviceListDialog* list = openList();
  ASSERT_TRUE(pumpUntil([&] { return nameCell(list, 0) == "stays"; }));
  selectRow(list, 0);
  for (const Case& c : cases) {
    writeRegistry(c.line);
    list->updateAction()->trigger();
    const auto boxes = list->findChildren<QMessageBox*>();
    ASSERT_EQ(1, boxes.size()) << c.line;
    QMessageBox* box = boxes.front();
    EXPECT_TRUE(box->isVisible());
    EXPECT_FALSE(box->isModal());  // the server is not held
    EXPECT_EQ("Connection Server", box->windowTitle().toStdString());
    EXPECT_EQ("Failed on opening configuration registry\n" + c.systemText,
              box->text().toStdString());
    box->close();
    pumpUntil([&] { return list->findChildren<QMessageBox*>().isEmpty(); });
    ASSERT_TRUE(list->findChildren<QMessageBox*>().isEmpty());
  }
  // Still serving: a client lists the device, the window still follows.
  uint8_t ids[4][DEVMGR_HWID_SIZE];
  size_t count = 4;
  ASSERT_TRUE(DevmgrGetOnlineDevices(ids, &count));
  EXPECT_EQ(1u, count);
  EXPECT_EQ(0, std::memcmp(ids[0], a.id, 16));
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
