// The dialog's rules without widgets.
#include <gtest/gtest.h>

#include <map>

#include "fwflash/DialogLogic.h"

using namespace fwflash;

namespace {

struct View : DialogView {
  void setControlText(int id, const std::u16string& t) override { text[id] = t; }
  void setControlEnabled(int id, bool e) override { enabled[id] = e; }
  void setProgress(int p) override { progress = p; }
  void setBusyCursor(bool b) override { busyCursor = b; }
  void showWarning(const std::u16string& t) override { warnings.push_back(t); }
  std::map<int, std::u16string> text;
  std::map<int, bool> enabled;
  int progress = -1;
  bool busyCursor = false;
  std::vector<std::u16string> warnings;
};

UpdaterEvent event(int code, std::u16string text = {}, float progress = 0, int ok = 1) {
  return UpdaterEvent{code, ok, std::move(text), progress};
}

}  // namespace

TEST(DialogLogic, ButtonsFollowConnectedPackageAndBusy) {
  const ModuleInfo module{"1", "t", "s", "v"};
  const struct {
    bool connected, package, busy;
    bool browse, reset, download;
  } cases[] = {
      {false, false, false, true, false, false}, {true, false, false, true, true, false},
      {false, true, false, true, false, false},  {true, true, false, true, true, true},
      {true, true, true, false, false, false},
  };
  for (const auto& c : cases) {
    View view;
    DialogLogic logic(view);
    logic.init("AB");
    if (c.connected) logic.onEvent(event(kEventConnected));
    logic.packageChosen("/p.xpk", c.package ? std::optional<ModuleInfo>(module) : std::nullopt);
    if (c.busy) {
      EXPECT_TRUE(logic.startDownload());
    }
    EXPECT_EQ(c.browse, view.enabled[kBrowseButton]);
    EXPECT_EQ(c.reset, view.enabled[kResetButton]);
    EXPECT_EQ(c.download, view.enabled[kDownloadButton]);
    EXPECT_EQ(!c.busy, logic.mayClose());
    if (!c.download && !c.busy) {
      EXPECT_FALSE(logic.startDownload()) << "no download while it is off";
    }
  }
}

TEST(DialogLogic, EventsFillAndClearTheirFields) {
  View view;
  DialogLogic logic(view);
  logic.init("00FF");
  EXPECT_EQ(u"00FF", view.text[kHwIdField]);
  logic.onEvent(event(kEventConnected));
  const struct {
    int code, field;
  } fills[] = {{kEventTarget, kDeviceTarget},
               {kEventSubTarget, kDeviceSubTarget},
               {kEventVersion, kDeviceVersion},
               {kEventVerbose, kDeviceDescription},
               {kEventName, kNameField}};
  for (const auto& f : fills) {
    logic.onEvent(event(f.code, u"v" + std::u16string(1, char16_t('0' + f.code))));
    EXPECT_EQ(u"v" + std::u16string(1, char16_t('0' + f.code)), view.text[f.field]);
  }
  EXPECT_TRUE(view.enabled[kDeviceLabelFirst + 3]);
  logic.onEvent(event(kEventDisconnected));
  for (const auto& f : fills) EXPECT_EQ(u"", view.text[f.field]);
  EXPECT_FALSE(view.enabled[kDeviceLabelFirst]);
  EXPECT_FALSE(logic.connected());

  for (auto [in, out] :
       {std::pair{0.5f, 500}, {1.0f, 1000}, {0.9999f, 999}, {1.5f, 1000}, {-1.0f, 0}}) {
    logic.onEvent(event(kEventProgress, {}, in));
    EXPECT_EQ(out, view.progress) << in;
  }
}

TEST(DialogLogic, OperationEndWarnsOnlyWithAText) {
  View view;
  DialogLogic logic(view);
  logic.init("00");
  logic.onEvent(event(kEventConnected));
  logic.packageChosen("/p", ModuleInfo{"1", "2", "3", "4"});
  ASSERT_TRUE(logic.startDownload());
  EXPECT_TRUE(view.busyCursor);
  EXPECT_FALSE(logic.startDownload()) << "one download at a time";
  logic.onEvent(event(kEventOperationEnd, u"", 0, 1));
  EXPECT_FALSE(logic.busy());
  EXPECT_FALSE(view.busyCursor);
  EXPECT_TRUE(view.warnings.empty());
  ASSERT_TRUE(logic.startDownload());
  logic.onEvent(event(kEventOperationEnd, u"Aborted file transfer with code -99", 0, 0));
  EXPECT_EQ(std::vector<std::u16string>{u"Aborted file transfer with code -99"}, view.warnings);
}

TEST(HwIdArgument, ExactlyThirtyTwoHexDigits) {
  const struct {
    std::string in;
    bool valid;
  } cases[] = {{"00112233445566778899aabbccddeeff", true},
               {"00112233445566778899AABBCCDDEEFF", true},
               {"", false},
               {"a", false},
               {"00112233445566778899aabbccddee", false},
               {"00112233445566778899aabbccddeeff0", false},
               {"00112233445566778899aabbccddeefg", false},
               {"0x112233445566778899aabbccddeeff", false}};
  for (const auto& c : cases) {
    const auto bytes = parseHwIdArgument(c.in);
    EXPECT_EQ(c.valid, bytes.has_value()) << c.in;
    if (bytes) {
      EXPECT_EQ("00112233445566778899AABBCCDDEEFF", hwIdText(*bytes));
    }
  }
}
