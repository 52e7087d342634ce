// The dialog with its widgets on the offscreen platform, over fake ports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "CUpdaterDlg.h"
#include "DialogDriver.h"
#include "PackageWriter.h"
#include "UpdaterFakes.h"

using namespace fwflash;
using namespace fwflash::testing;

namespace {

const std::vector<uint8_t> kHwId{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fwflash-dialog-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    dir = pattern;
    UpdaterDialogSetup setup;
    setup.title = "KN Firmware Updater - 00112233445566778899AABBCCDDEEFF";
    setup.hwid = kHwId;
    setup.device = &device;
    setup.files = &files;
    setup.picker = &picker;
    setup.worker.tempDir = dir;
    setup.worker.pollMs = 100;
    dialog = std::make_unique<CUpdaterDlg>(setup);
    dialog->show();
  }
  void TearDown() override {
    dialog.reset();
    std::filesystem::remove_all(dir);
  }
  QString text(int id) { return dialog->controlText(id); }
  bool enabled(int id) { return dialog->control(id)->isEnabled(); }
  std::string write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
  }
  void browse(const std::string& path) {
    picker.next = QString::fromStdString(path);
    dialog->onBrowse();
  }
  bool connected() {
    return waitUntil(
        [&] { return text(kDeviceVersion) == "1.8.0" && text(kNameField) == "bench unit"; });
  }
  QMessageBox* warning() { return dialog->findChild<QMessageBox*>("fwflashWarning"); }
  int progress() { return static_cast<QProgressBar*>(dialog->control(kProgressBar))->value(); }

  std::string dir;
  FakeDevice device;
  FakeFileServer files;
  ScriptedPicker picker;
  std::unique_ptr<CUpdaterDlg> dialog;
};

}  // namespace

TEST_F(DialogTest, StartsWithTheTitleTheHwIdAndEverythingOff) {
  device.set([](FakeDevice& d) { d.online = false; });
  EXPECT_EQ("KN Firmware Updater - 00112233445566778899AABBCCDDEEFF", dialog->windowTitle());
  EXPECT_EQ("00112233445566778899AABBCCDDEEFF", text(kHwIdField));
  EXPECT_TRUE(enabled(kBrowseButton));
  EXPECT_FALSE(enabled(kResetButton));
  EXPECT_FALSE(enabled(kDownloadButton));
  for (int id = kPackageLabelFirst; id < kPackageLabelFirst + 4; ++id) EXPECT_FALSE(enabled(id));
  EXPECT_EQ(kProgressRange, static_cast<QProgressBar*>(dialog->control(kProgressBar))->maximum());
  // The small and the big icon, drawn, not scaled from one another.
  const QIcon icon = dialog->windowIcon();
  ASSERT_FALSE(icon.isNull());
  const QList<QSize> sizes = icon.availableSizes();
  for (int size : {16, 32}) {
    EXPECT_TRUE(sizes.contains(QSize(size, size))) << size;
    const QImage image = icon.pixmap(size, size).toImage();
    EXPECT_EQ(QSize(size, size), image.size());
    EXPECT_NE(0, qAlpha(image.pixel(size / 2, size / 2))) << "an empty picture at " << size;
  }
}

TEST_F(DialogTest, DeviceFieldsFollowTheDevice) {
  device.set([](FakeDevice& d) { d.texts[DeviceText::kVerbose] = "caf\xC3\xA9"; });
  ASSERT_TRUE(connected());
  EXPECT_EQ("sim-target", text(kDeviceTarget));
  EXPECT_EQ("sim-sub", text(kDeviceSubTarget));
  EXPECT_EQ(QString::fromUtf8("caf\xC3\xA9"), text(kDeviceDescription));
  EXPECT_TRUE(enabled(kDeviceLabelFirst));
  EXPECT_TRUE(enabled(kResetButton));
  EXPECT_FALSE(enabled(kDownloadButton)) << "no package yet";

  device.set([](FakeDevice& d) { d.texts[DeviceText::kFriendlyName] = "renamed"; });
  EXPECT_TRUE(waitUntil([&] { return text(kNameField) == "renamed"; }));

  device.set([](FakeDevice& d) { d.online = false; });
  EXPECT_TRUE(waitUntil([&] { return text(kDeviceVersion).isEmpty(); }));
  EXPECT_TRUE(text(kNameField).isEmpty());
  EXPECT_FALSE(enabled(kResetButton));
  EXPECT_FALSE(enabled(kDeviceLabelFirst));
  device.set([](FakeDevice& d) {
    d.online = true;
    d.texts[DeviceText::kFriendlyName] = "bench unit";
  });
  EXPECT_TRUE(connected());
}

TEST_F(DialogTest, PickingAPackageShowsItsModuleOrNothing) {
  ASSERT_TRUE(connected());
  const std::string good =
      write("good.xpk", simplePackage("3.1.4", "kn-main", "rev-\xE9", "fresh build"));
  browse(good);
  EXPECT_EQ("3.1.4", text(kPackageVersion));
  EXPECT_EQ("kn-main", text(kPackageTarget));
  EXPECT_EQ(QString::fromUtf16(u"rev-\u00E9"), text(kPackageSubTarget))
      << "package values are widened byte by byte";
  EXPECT_EQ("fresh build", text(kPackageDescription));
  EXPECT_TRUE(enabled(kPackageLabelFirst));
  EXPECT_TRUE(enabled(kDownloadButton));

  PackageWriter noMidd;
  noMidd.add({.tag = tagOf("boot"), .data = {1, 2, 3}});
  const std::string bad[] = {write("nomidd.xpk", noMidd.bytes()), dir + "/missing.xpk", "/dev/zero",
                             dir};
  for (const std::string& path : bad) {
    browse(good);
    ASSERT_TRUE(enabled(kDownloadButton));
    browse(path);
    EXPECT_EQ(QString::fromStdString(path), text(kFilePath));
    EXPECT_EQ(QString::fromStdString(good), picker.offered) << "the current path is offered";
    EXPECT_TRUE(text(kPackageVersion).isEmpty()) << path;
    EXPECT_TRUE(text(kPackageDescription).isEmpty()) << path;
    EXPECT_FALSE(enabled(kPackageLabelFirst)) << path;
    EXPECT_FALSE(enabled(kDownloadButton)) << path;
    EXPECT_EQ(nullptr, warning()) << path;
  }
}

TEST_F(DialogTest, DownloadIsBusyUntilItEndsAndCannotBeClosedMeanwhile) {
  ASSERT_TRUE(connected());
  const std::vector<uint8_t> package = simplePackage("3.1.4", "kn-main", "rev-c", "fresh build");
  browse(write("good.xpk", package));
  // Hold the transfer until the test has tried to close the dialog.
  device.set([](FakeDevice& d) { d.leaveOnUpgrade = true; });
  files.progressRecords = {{0, 100}, {40, 100}, {100, 100}};
  dialog->onDownload();
  EXPECT_TRUE(dialog->logic().busy());
  EXPECT_FALSE(enabled(kBrowseButton));
  EXPECT_FALSE(enabled(kDownloadButton));
  EXPECT_FALSE(enabled(kResetButton));
  EXPECT_EQ(Qt::BusyCursor, dialog->cursor().shape());

  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QCoreApplication::sendEvent(dialog.get(), &esc);
  dialog->reject();
  QCloseEvent close;
  QCoreApplication::sendEvent(dialog.get(), &close);
  // The worker's events wait in the queue until the loop runs again.
  EXPECT_TRUE(dialog->logic().busy());
  EXPECT_FALSE(close.isAccepted());
  EXPECT_TRUE(dialog->isVisible());

  ASSERT_TRUE(waitUntil([&] { return !dialog->logic().busy(); }));
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(kProgressRange, progress());
  EXPECT_EQ(nullptr, warning());
  EXPECT_NE(Qt::BusyCursor, dialog->cursor().shape());
  const auto calls = files.calls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ(package, calls[1].localBytes);
  EXPECT_TRUE(waitUntil([&] { return text(kDeviceVersion).isEmpty(); }))
      << "the device left for its upgrade";

  // Not busy any more: Esc closes.
  dialog->reject();
  EXPECT_FALSE(dialog->isVisible());
}

TEST_F(DialogTest, FailuresShowAWarningAndGiveTheButtonsBack) {
  ASSERT_TRUE(connected());
  browse(write("good.xpk", simplePackage("1", "2", "3", "4")));
  files.downloadResult = -28;
  dialog->onDownload();
  ASSERT_TRUE(waitUntil([&] { return warning() != nullptr; }));
  EXPECT_EQ("No space left on device (ENOSPC)", warning()->text());
  EXPECT_EQ(dialog->windowTitle(), warning()->windowTitle());
  EXPECT_EQ(QMessageBox::Warning, warning()->icon());
  EXPECT_FALSE(dialog->logic().busy());
  EXPECT_TRUE(enabled(kDownloadButton));
  EXPECT_TRUE(enabled(kResetButton));
  EXPECT_TRUE(enabled(kBrowseButton));
}

TEST_F(DialogTest, ResetClearsTheDeviceAndItComesBack) {
  ASSERT_TRUE(connected());
  static_cast<QPushButton*>(dialog->control(kResetButton))->click();
  EXPECT_FALSE(dialog->logic().busy()) << "Reset does not make the dialog busy";
  EXPECT_TRUE(waitUntil([&] { return text(kDeviceVersion).isEmpty(); }));
  EXPECT_EQ(1, device.get<int>([](const FakeDevice& d) { return d.resets; }));
  device.set([](FakeDevice& d) { d.online = true; });
  EXPECT_TRUE(connected());
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
