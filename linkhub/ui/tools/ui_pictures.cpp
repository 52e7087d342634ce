// Draws the server's windows on the offscreen platform into PNG files for
// the README: the tray menu, the device list with two emulated devices and
// the about box. Usage: linkhub_ui_pictures <output directory>
#include <QApplication>
#include <QMenu>
#include <QTreeWidget>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <thread>

#include "devsim/CoreService.h"
#include "devsim/InProcessMedia.h"
#include "devsim/InProcessMediaRecord.h"
#include "linkhub/TrIfServer.h"
#include "linkhub/TransportManager.h"
#include "linkhub/ui/GuiShell.h"
#include "linkhub/ui/Windows.h"
#include "plat/runtime.h"

namespace {

bool pumpUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: linkhub_ui_pictures <output directory>\n";
    return 2;
  }
  const std::string out = argv[1];
  qputenv("QT_QPA_PLATFORM", "offscreen");
  const std::string dir = plat::makeTempDir("ui-pictures-");
  plat::setEnvironment("LINKHUB_RUNTIME_DIR", dir);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);

  devsim::InProcessMedia media;
  TransportManager manager;
  hubui::GuiShell::Config config;
  config.manager = [&] { return &manager; };
  hubui::GuiShell shell(config);
  manager.addMedia(devsim::inProcessMediaRecord());
  manager.start();
  TrIfServer server(&manager, &shell);
  if (!server.start()) return 1;

  std::vector<std::shared_ptr<devsim::CoreState>> cores;
  const std::pair<const char*, const char*> devices[] = {
      {"0123456789ABCDEF0123456789ABCDEF", "bench unit 1"},
      {"A1B2C3D4E5F60718293A4B5C6D7E8F90", "test rig"}};
  for (const auto& [hex, name] : devices) {
    devsim::DeviceConfig dc;
    parseHwId(hex, &dc.hwid);
    devsim::CoreConfig cc;
    cc.friendlyName = name;
    auto core = std::make_shared<devsim::CoreState>(cc);
    const uint32_t index = media.addDevice(dc);
    media.device(index).registerService(base::kProtocolCore, devsim::CoreService::factory(core));
    cores.push_back(core);
  }
  if (!pumpUntil([&] { return manager.onlineDevices().size() == 2; })) return 1;

  std::filesystem::create_directories(out);
  auto tray = shell.serverUi().createTray();
  auto* icon = dynamic_cast<hubui::TrayIcon*>(tray.get());
  icon->menu()->popup(QPoint(0, 0));
  pumpUntil([&] { return icon->menu()->isVisible(); });
  icon->menu()->setActiveAction(icon->devicesAction());
  QCoreApplication::processEvents();
  icon->menu()->grab().save(QString::fromStdString(out + "/tray-menu.png"));
  icon->menu()->hide();

  shell.openDeviceList();
  hubui::DeviceListDialog* list = shell.deviceList();
  list->resize(560, 220);
  pumpUntil([&] {
    return list->list()->topLevelItemCount() == 2 &&
           list->list()->topLevelItem(1)->text(1) == "test rig" &&
           list->list()->topLevelItem(0)->text(1) == "bench unit 1";
  });
  list->list()->setCurrentItem(list->list()->topLevelItem(0));
  QCoreApplication::processEvents();
  list->grab().save(QString::fromStdString(out + "/device-list.png"));

  shell.openAbout();
  QCoreApplication::processEvents();
  shell.aboutBox()->grab().save(QString::fromStdString(out + "/about-box.png"));

  shell.closeAll();
  server.stop();
  manager.stop();
  std::filesystem::remove_all(dir);
  return 0;
}
