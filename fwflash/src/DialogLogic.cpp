#include "fwflash/DialogLogic.h"

#include "fwflash/CommMgr.h"

namespace fwflash {

void DialogLogic::init(const std::string& hwidText) {
  view_.setControlText(kHwIdField, std::u16string(hwidText.begin(), hwidText.end()));
  view_.setProgress(0);
  packageValid_ = busy_ = connected_ = false;
  clearPackageFields();
  clearDeviceFields();
  updateButtons();
}

void DialogLogic::clearPackageFields() {
  for (int i = 0; i < 4; ++i) {
    view_.setControlEnabled(kPackageLabelFirst + i, false);
    view_.setControlText(kPackageVersion + i, {});
  }
}

void DialogLogic::clearDeviceFields() {
  view_.setControlText(kNameField, {});
  for (int i = 0; i < 4; ++i) {
    view_.setControlEnabled(kDeviceLabelFirst + i, false);
    view_.setControlText(kDeviceVersion + i, {});
  }
}

void DialogLogic::packageChosen(const std::string& path, const std::optional<ModuleInfo>& info) {
  view_.setControlText(kFilePath, decodeUtf8(path));
  clearPackageFields();
  packageValid_ = info.has_value();
  if (info) {
    view_.setControlText(kPackageVersion, widenBytes(info->version));
    view_.setControlText(kPackageTarget, widenBytes(info->target));
    view_.setControlText(kPackageSubTarget, widenBytes(info->subTarget));
    view_.setControlText(kPackageDescription, widenBytes(info->verbose));
    for (int i = 0; i < 4; ++i) view_.setControlEnabled(kPackageLabelFirst + i, true);
  }
  updateButtons();
}

bool DialogLogic::startDownload() {
  if (busy_ || !connected_ || !packageValid_) return false;
  busy_ = true;
  view_.setProgress(0);
  view_.setBusyCursor(true);
  updateButtons();
  return true;
}

void DialogLogic::onEvent(const UpdaterEvent& event) {
  switch (event.code) {
    case kEventConnected:
      for (int i = 0; i < 4; ++i) view_.setControlEnabled(kDeviceLabelFirst + i, true);
      connected_ = true;
      updateButtons();
      break;
    case kEventDisconnected:
      clearDeviceFields();
      connected_ = false;
      updateButtons();
      break;
    case kEventTarget:
      view_.setControlText(kDeviceTarget, event.text);
      break;
    case kEventSubTarget:
      view_.setControlText(kDeviceSubTarget, event.text);
      break;
    case kEventVersion:
      view_.setControlText(kDeviceVersion, event.text);
      break;
    case kEventVerbose:
      view_.setControlText(kDeviceDescription, event.text);
      break;
    case kEventName:
      view_.setControlText(kNameField, event.text);
      break;
    case kEventProgress: {
      const float p = event.progress < 0 ? 0.0f : event.progress > 1 ? 1.0f : event.progress;
      view_.setProgress(int(p * kProgressRange));
      break;
    }
    case kEventOperationEnd:
      busy_ = false;
      updateButtons();
      view_.setBusyCursor(false);
      if (!event.text.empty()) view_.showWarning(event.text);
      break;
    default:
      break;
  }
}

void DialogLogic::updateButtons() {
  view_.setControlEnabled(kBrowseButton, !busy_);
  view_.setControlEnabled(kDownloadButton, !busy_ && connected_ && packageValid_);
  view_.setControlEnabled(kResetButton, !busy_ && connected_);
}

std::optional<std::vector<uint8_t>> parseHwIdArgument(const std::string& text) {
  if (text.size() != 32) return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < 32; i += 2) {
    const int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes.push_back(uint8_t(hi << 4 | lo));
  }
  return bytes;
}

std::string hwIdText(const std::vector<uint8_t>& hwid) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : hwid) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

}  // namespace fwflash
