// The updater dialog on the whole road: the real linkhub and usblink over
// the virtual bus to an emulated device hosted in this process, through the
// real devmgr and fsproto.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "CUpdaterDlg.h"
#include "DeviceOnBus.h"
#include "DevicePorts.h"
#include "DialogDriver.h"
#include "PackageWriter.h"
#include "e2e/Road.h"

using translayer::HwId;

using namespace fwflash;
using namespace fwflash::testing;

namespace {

std::vector<uint8_t> readAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class UpdateRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(road.ok());
    ASSERT_TRUE(road.startHub());
    hwid = e2e::Road::makeHwId(0x40);
    device =
        std::make_unique<DeviceOnBus>(road.vbusDir(), "fw1", hwid, road.baseDir() + "/storage");
    ASSERT_TRUE(device->plugIn());
    ASSERT_TRUE(road.waitOnline({hwid}));

    UpdaterDialogSetup setup;
    setup.title = "KN Firmware Updater - " + QString::fromStdString(e2e::Road::hexOf(hwid));
    setup.hwid.assign(hwid.id, hwid.id + 16);
    setup.device = &devmgr;
    setup.files = &fsproto;
    setup.picker = &picker;
    setup.worker.tempDir = road.runtimeDir();
    tempFile = road.runtimeDir() + "/" + lowerHex() + ".xpk";
    dialog = std::make_unique<CUpdaterDlg>(setup);
    dialog->show();
  }
  void TearDown() override {
    // Never leave the dialog busy: the worker is joined with the dialog.
    if (dialog) waitUntil([&] { return !dialog->logic().busy(); }, 60);
    dialog.reset();
    device.reset();
  }

  std::string lowerHex() const {
    std::string hex = e2e::Road::hexOf(hwid);
    for (char& c : hex) c = char(std::tolower(static_cast<unsigned char>(c)));
    return hex;
  }
  QString text(int id) { return dialog->controlText(id); }
  bool enabled(int id) { return dialog->control(id)->isEnabled(); }
  bool showsDevice(const QString& version = "1.8.0") {
    return waitUntil(
        [&] { return text(kDeviceVersion) == version && !text(kNameField).isEmpty(); });
  }
  void choose(const std::vector<uint8_t>& bytes, const std::string& name = "pkg.xpk") {
    const std::string path = road.baseDir() + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    picker.next = QString::fromStdString(path);
    dialog->onBrowse();
  }
  QMessageBox* warning() { return dialog->findChild<QMessageBox*>("fwflashWarning"); }
  // Presses "Download" and waits for the operation's end; the warning text
  // or empty.
  std::string download() {
    if (QMessageBox* old = warning()) delete old;
    EXPECT_TRUE(enabled(kDownloadButton));
    dialog->onDownload();
    EXPECT_TRUE(dialog->logic().busy());
    EXPECT_TRUE(waitUntil([&] { return !dialog->logic().busy(); }, 120));
    EXPECT_TRUE(enabled(kBrowseButton));
    QMessageBox* box = warning();
    return box ? box->text().toStdString() : std::string();
  }

  e2e::Road road;
  HwId hwid{};
  std::unique_ptr<DeviceOnBus> device;
  DevmgrDevice devmgr;
  FsprotoFileServer fsproto;
  ScriptedPicker picker;
  std::string tempFile;
  std::unique_ptr<CUpdaterDlg> dialog;
  const std::vector<uint8_t> package = simplePackage("2.0.7", "kn-main", "rev-d", "road build");
};

}  // namespace

TEST_F(UpdateRoadTest, FieldsFollowTheDeviceAndThePackage) {
  ASSERT_TRUE(showsDevice());
  EXPECT_EQ("sim-target", text(kDeviceTarget));
  EXPECT_EQ("sim-subtarget", text(kDeviceSubTarget));
  EXPECT_EQ("emulated device firmware", text(kDeviceDescription));
  EXPECT_EQ("bench unit", text(kNameField));

  devsim::CoreConfig renamed = device->core().config();
  renamed.friendlyName = "renamed \xE2\x9C\x93";
  device->core().configure(renamed);
  EXPECT_TRUE(
      waitUntil([&] { return text(kNameField) == QString::fromUtf8("renamed \xE2\x9C\x93"); }));

  device->unplug();
  EXPECT_TRUE(
      waitUntil([&] { return text(kDeviceVersion).isEmpty() && text(kNameField).isEmpty(); }));
  EXPECT_FALSE(enabled(kResetButton));
  ASSERT_TRUE(device->plugIn());
  EXPECT_TRUE(showsDevice());

  choose(package);
  EXPECT_EQ("2.0.7", text(kPackageVersion));
  EXPECT_EQ("kn-main", text(kPackageTarget));
  EXPECT_TRUE(enabled(kDownloadButton));
  PackageWriter noMidd;
  noMidd.add({.tag = tagOf("boot"), .data = {1, 2, 3}});
  choose(noMidd.bytes(), "nomidd.xpk");
  EXPECT_TRUE(text(kPackageVersion).isEmpty());
  EXPECT_FALSE(enabled(kDownloadButton));
  EXPECT_EQ(nullptr, warning());
}

TEST_F(UpdateRoadTest, DownloadInstallsThePackage) {
  ASSERT_TRUE(showsDevice());
  choose(package);
  dialog->onDownload();
  ASSERT_TRUE(dialog->logic().busy());
  QCloseEvent close;
  QCoreApplication::sendEvent(dialog.get(), &close);
  dialog->reject();
  EXPECT_TRUE(dialog->isVisible()) << "no closing while busy";
  ASSERT_TRUE(waitUntil([&] { return !dialog->logic().busy(); }, 120));
  EXPECT_EQ(nullptr, warning()) << (warning() ? warning()->text().toStdString() : "");
  EXPECT_EQ(kProgressRange, static_cast<QProgressBar*>(dialog->control(kProgressBar))->value());
  EXPECT_EQ(package, readAll(device->storedPackage()));
  bool asked = false;
  for (const auto& r : device->core().requests()) asked |= r.code == devsim::kCoreFwUpgrade;
  EXPECT_TRUE(asked);
  EXPECT_FALSE(std::filesystem::exists(tempFile));
  // The device comes back with the package's firmware.
  EXPECT_TRUE(showsDevice("2.0.7"));
  EXPECT_EQ("rev-d", text(kDeviceSubTarget));
  EXPECT_EQ("road build", text(kDeviceDescription));
}

TEST_F(UpdateRoadTest, FailureTable) {
  ASSERT_TRUE(showsDevice());
  choose(package);
  struct Case {
    const char* name;
    std::function<void(devsim::FileServerFaults&)> fault;
    std::string expected;
  };
  const Case cases[] = {
      {"no space", [](devsim::FileServerFaults& f) { f.noSpaceAfter = 0; },
       "No space left on device (ENOSPC)"},
      {"silence", [](devsim::FileServerFaults& f) { f.silent = true; },
       "Aborted file transfer with code -138"},
      {"channel closed", [](devsim::FileServerFaults& f) { f.closeAfter = 0; },
       "connection reset by remote party (ECONNRESET)"},
      {"busy three times", [](devsim::FileServerFaults& f) { f.busyCount = 3; }, ""},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(showsDevice()) << c.name;
    devsim::FileServerFaults faults;
    c.fault(faults);
    device->files().setFaults(faults);
    EXPECT_EQ(c.expected, download()) << c.name;
    device->files().setFaults({});
    EXPECT_TRUE(enabled(kBrowseButton)) << c.name;
  }
}

TEST_F(UpdateRoadTest, RefusedUpgradeIsReported) {
  ASSERT_TRUE(showsDevice());
  choose(package);
  // The device refuses the package it was sent: reply 0, it stays online.
  devsim::CoreConfig refusing = device->core().config();
  refusing.upgradeFirmware = [](const std::filesystem::path&, const devsim::CoreIdentity&) {
    return std::optional<devsim::CoreIdentity>();
  };
  device->core().configure(refusing);
  EXPECT_EQ("Firmware upgrade request failed", download());
  EXPECT_TRUE(enabled(kDownloadButton)) << "still connected";
  EXPECT_EQ("1.8.0", text(kDeviceVersion));
}

TEST_F(UpdateRoadTest, ResetAndALostServerNeverLeaveItBusy) {
  ASSERT_TRUE(showsDevice());
  choose(package);
  // Reset clears the fields; "Download" right behind it still ends.
  dialog->onReset();
  dialog->onDownload();
  ASSERT_TRUE(waitUntil([&] { return !dialog->logic().busy(); }, 120));
  ASSERT_NE(nullptr, warning());
  EXPECT_EQ("connection refused (ECONNREFUSED)", warning()->text());
  EXPECT_TRUE(showsDevice()) << "back after the replug";

  // The server goes while the device holds the transfer back.
  delete warning();
  devsim::FileServerFaults slow;
  slow.acceptDelayMs = 3000;
  device->files().setFaults(slow);
  dialog->onDownload();
  ASSERT_TRUE(dialog->logic().busy());
  ASSERT_TRUE(road.stopHub());
  ASSERT_TRUE(waitUntil([&] { return !dialog->logic().busy(); }, 120));
  ASSERT_NE(nullptr, warning());
  EXPECT_FALSE(warning()->text().isEmpty());
  EXPECT_TRUE(waitUntil([&] { return text(kDeviceVersion).isEmpty(); }))
      << "the device is gone with the server";
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
