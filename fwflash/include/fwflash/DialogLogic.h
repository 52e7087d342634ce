// What the updater dialog does with its state, apart from the widgets: the
// busy, connected and package-valid rules, the fields each worker event
// fills, and which buttons are enabled. The Qt dialog implements DialogView
// and forwards to DialogLogic on its own thread; tests drive it with a fake
// view.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fwflash/ModuleInfo.h"
#include "fwflash/UpdaterPorts.h"

namespace fwflash {

// The dialog's control ids.
enum ControlId : int {
  kFilePath = 1000,
  kBrowseButton = 1001,
  kPackageLabelFirst = 1002,  // 1002-1005 labels, 1006-1009 values
  kPackageVersion = 1006,
  kPackageTarget = 1007,
  kPackageSubTarget = 1008,
  kPackageDescription = 1009,
  kDeviceLabelFirst = 1010,  // 1010-1013 labels, 1014-1017 values
  kDeviceVersion = 1014,
  kDeviceTarget = 1015,
  kDeviceSubTarget = 1016,
  kDeviceDescription = 1017,
  kHwIdField = 1018,
  kNameField = 1019,
  kResetButton = 1020,
  kDownloadButton = 1021,
  kProgressBar = 1022,
};

inline constexpr int kProgressRange = 1000;

class DialogView {
 public:
  virtual ~DialogView() = default;
  virtual void setControlText(int id, const std::u16string& text) = 0;
  virtual void setControlEnabled(int id, bool enabled) = 0;
  virtual void setProgress(int position) = 0;
  virtual void setBusyCursor(bool busy) = 0;
  // A warning box over the dialog; never blocks.
  virtual void showWarning(const std::u16string& text) = 0;
};

class DialogLogic {
 public:
  explicit DialogLogic(DialogView& view) : view_(view) {}

  // The initial state: labels and "Reset"/"Download" off, HWID shown.
  void init(const std::string& hwidText);
  // A browse result: the path and what the package reader made of it
  // (nothing for an unreadable or invalid package).
  void packageChosen(const std::string& path, const std::optional<ModuleInfo>& info);
  // "Download": false when the button's rules do not allow it now.
  bool startDownload();
  void onEvent(const UpdaterEvent& event);
  // Esc, the close box and the window manager's close.
  bool mayClose() const { return !busy_; }

  bool busy() const { return busy_; }
  bool connected() const { return connected_; }
  bool packageValid() const { return packageValid_; }

 private:
  void updateButtons();
  void clearPackageFields();
  void clearDeviceFields();

  DialogView& view_;
  bool packageValid_ = false;
  bool busy_ = false;
  bool connected_ = false;
};

// The argument: exactly 32 hex digits (either case) give the 16 HwId bytes.
std::optional<std::vector<uint8_t>> parseHwIdArgument(const std::string& text);
std::string hwIdText(const std::vector<uint8_t>& hwid);  // upper case

}  // namespace fwflash
