// The device list's logic without widgets: the text rules of names, the rows
// keyed by HwId across refreshes, the worker and its stop, the version texts
// and the updater command taken from the registry file.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "linkhub/ui/DeviceListLogic.h"
#include "plat/runtime.h"

using translayer::HwId;

namespace {

using namespace hubui;
using Clock = std::chrono::steady_clock;

HwId idOf(uint8_t first) {
  HwId id;
  for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(first + i);
  return id;
}

TEST(NameText, Utf8ValidityAndCuts) {
  struct Valid {
    std::string text;
    bool valid;
  };
  const Valid valid[] = {
      {"plain", true},
      {"gr\xC3\xBC\xC3\x9F"
       "e",
       true},
      {"\xE2\x82\xAC", true},
      {"\xF0\x9F\x98\x80", true},
      {"\xC3", false},
      {"\x80", false},
      {"\xC0\xAF", false},
      {"\xE0\x80\xAF", false},
      {"\xED\xA0\x80", false},
      {"\xF4\x90\x80\x80", false},
      {"\xFF", false},
      {"ok\xE2\x82", false},
  };
  for (const Valid& v : valid) EXPECT_EQ(v.valid, isValidUtf8(v.text)) << v.text;

  struct Cut {
    std::string text;
    size_t max;
    std::string expected;
  };
  const std::string a254(254, 'a');
  const Cut cuts[] = {
      {std::string(300, 'x'), 255, std::string(255, 'x')},
      {a254 + "\xC3\xBC", 255, a254},             // a two-byte character across the limit
      {a254 + "b\xE2\x82\xAC", 255, a254 + "b"},  // the whole character fits or goes
      {std::string(85, 'z') + "\xE2\x82\xAC", 255, std::string(85, 'z') + "\xE2\x82\xAC"},
      {"short", 255, "short"},
  };
  for (const Cut& c : cuts) {
    const std::string got = cutUtf8(c.text, c.max);
    EXPECT_EQ(c.expected, got);
    EXPECT_TRUE(isValidUtf8(got));
  }
  EXPECT_EQ("\xC3\xA4\xC3\xB6", cutChars("\xC3\xA4\xC3\xB6\xC3\xBC", 2));
  EXPECT_EQ("abc", cutChars("abc", 127));
}

TEST(NameText, DeviceBuffers) {
  uint8_t full[kMaxReadBytes];
  std::memset(full, 'n', sizeof full);  // the whole buffer, no terminator
  EXPECT_EQ(std::string(256, 'n'), decodeDeviceName(full, sizeof full).value_or(""));
  uint8_t shortName[kMaxReadBytes] = {'d', 'e', 'v', 0, 'x'};
  EXPECT_EQ("dev", decodeDeviceName(shortName, sizeof shortName).value_or("?"));
  uint8_t bad[kMaxReadBytes] = {'a', 0xC3, 0x28, 0};
  EXPECT_FALSE(decodeDeviceName(bad, sizeof bad).has_value());
  EXPECT_EQ("0A0B0C0D0E0F10111213141516171819", hexUpper(idOf(10)));
  EXPECT_EQ("0a0b0c0d0e0f10111213141516171819", hexLower(idOf(10)));
}

Result readResult(const HwId& id, bool ok, const std::string& name) {
  return Result{RequestKind::kReadName, id, ok, name};
}

TEST(DeviceListModel, ResultsFollowTheirDeviceAcrossRefreshes) {
  const HwId a = idOf(0x10), b = idOf(0x20), c = idOf(0x30);
  DeviceListModel model;
  const auto reads = model.refresh({a, b});
  ASSERT_EQ(2u, reads.size());
  EXPECT_EQ(a, reads[0].hwid);
  EXPECT_EQ(RequestKind::kReadName, reads[1].kind);
  EXPECT_EQ(hexUpper(a), model.rows()[0].hex);

  // a's read is slow; a leaves and c comes before b's row is read.
  model.refresh({b, c});
  EXPECT_EQ(-1, model.apply(readResult(a, true, "name of a")).row);
  EXPECT_EQ(0, model.apply(readResult(b, true, "name of b")).row);
  EXPECT_EQ(1, model.apply(readResult(c, false, "")).row);
  EXPECT_EQ("name of b", model.rows()[0].name);
  EXPECT_TRUE(model.rows()[0].editable);
  EXPECT_EQ(kNameReadError, model.rows()[1].name);
  EXPECT_FALSE(model.rows()[1].editable);
  EXPECT_FALSE(model.beginEdit(1));
  EXPECT_FALSE(model.beginEdit(7));

  // A store that works changes nothing; one that fails marks the row.
  ASSERT_TRUE(model.beginEdit(0));
  ASSERT_TRUE(model.commitEdit("x").has_value());
  EXPECT_EQ(0, model.apply(Result{RequestKind::kStoreName, b, true, "x"}).row);
  EXPECT_EQ("x", model.rows()[0].name);
  EXPECT_TRUE(model.rows()[0].editable);
  EXPECT_EQ(0, model.apply(Result{RequestKind::kStoreName, b, false, "x"}).row);
  EXPECT_EQ(kNameStoreError, model.rows()[0].name);
  EXPECT_FALSE(model.rows()[0].editable);
}

TEST(DeviceListModel, AnEditBelongsToItsDevice) {
  const HwId a = idOf(0x10), b = idOf(0x20), c = idOf(0x05);
  DeviceListModel model;
  model.refresh({a, b});
  model.apply(readResult(a, true, "a"));
  model.apply(readResult(b, true, "b"));
  ASSERT_TRUE(model.beginEdit(1));

  // c comes first in the list: b's row moves, the edit stays with b.
  model.refresh({c, a, b});
  ASSERT_TRUE(model.editing().has_value());
  EXPECT_EQ(b, *model.editing());
  const std::string longName = std::string(254, 'q') + "\xC3\xBC" + "tail";
  auto request = model.commitEdit(longName);
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(b, request->hwid);
  EXPECT_EQ(RequestKind::kStoreName, request->kind);
  EXPECT_EQ(std::string(254, 'q'), request->name);
  EXPECT_EQ(request->name, model.rows()[2].name);  // shown as sent
  EXPECT_EQ("", model.rows()[1].name);             // a's row (not read again yet) untouched
  EXPECT_FALSE(model.editing().has_value());

  // The edited device leaves: the edit is dropped, nothing is stored.
  model.refresh({a, b});
  model.apply(readResult(a, true, "a"));
  ASSERT_TRUE(model.beginEdit(0));
  model.refresh({b});
  EXPECT_FALSE(model.editing().has_value());
  EXPECT_FALSE(model.commitEdit("lost").has_value());
}

// A device access whose calls can be held and counted.
class FakeAccess : public DeviceAccess {
 public:
  bool readName(const HwId& id, uint8_t (&buffer)[kMaxReadBytes]) override {
    hold();
    note("read", id);
    const std::string name = "dev" + std::to_string(id.id[0]);
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return true;
  }
  bool storeName(const HwId& id, const std::string& name) override {
    note("store " + name, id);
    return name != "refused";
  }
  bool identify(const HwId& id, int) override {
    note("identify", id);
    return true;
  }
  bool reset(const HwId& id) override {
    note("reset", id);
    return true;
  }
  void setHeld(bool held) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held_ = held;
    }
    cv_.notify_all();
  }
  // True once a call is held inside readName.
  bool waitHolding() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return waiting_ > 0; });
  }
  bool waitCalls(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return calls_.size() >= n; });
  }
  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  void hold() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return !held_; });
  }
  void note(const std::string& what, const HwId& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(what + " " + std::to_string(id.id[0]));
    cv_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  bool held_ = false;
  int waiting_ = 0;
  std::vector<std::string> calls_;
};

class ResultLog {
 public:
  void add(Result r) {
    std::lock_guard<std::mutex> lock(mutex_);
    results_.push_back(std::move(r));
  }
  std::vector<Result> get() {
    std::lock_guard<std::mutex> lock(mutex_);
    return results_;
  }

 private:
  std::mutex mutex_;
  std::vector<Result> results_;
};

TEST(DeviceListWorker, RunsRequestsInOrderAndDropsQueuedReads) {
  FakeAccess access;
  ResultLog log;
  std::atomic<int> busyOn{0}, busyOff{0};
  DeviceListWorker worker(
      &access, [&](Result r) { log.add(std::move(r)); }, [&](bool b) { (b ? busyOn : busyOff)++; },
      0);
  access.setHeld(true);
  worker.start();
  worker.push({RequestKind::kReadName, idOf(1), {}});
  ASSERT_TRUE(access.waitHolding());
  // While the first read is held, more are queued, then a refresh drops them.
  worker.push({RequestKind::kReadName, idOf(2), {}});
  worker.push({RequestKind::kStoreName, idOf(3), "refused"});
  worker.push({RequestKind::kReadName, idOf(4), {}});
  worker.push({RequestKind::kReset, idOf(5), {}});
  worker.dropNameReads();
  EXPECT_EQ(2u, worker.queued());
  access.setHeld(false);
  ASSERT_TRUE(access.waitCalls(3));
  // Once the queue has run dry the worker says it is idle.
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while ((log.get().size() < 3 || busyOff.load() == 0) && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  worker.stop();
  EXPECT_EQ((std::vector<std::string>{"read 1", "store refused 3", "reset 5"}), access.calls());
  const auto results = log.get();
  ASSERT_EQ(3u, results.size());
  EXPECT_EQ(idOf(1), results[0].hwid);
  EXPECT_TRUE(results[0].ok);
  EXPECT_EQ("dev1", results[0].text);
  EXPECT_FALSE(results[1].ok);
  EXPECT_EQ(idOf(3), results[1].hwid);
  EXPECT_EQ(RequestKind::kReset, results[2].kind);
  EXPECT_GE(busyOn.load(), 1);
  EXPECT_GE(busyOff.load(), 1);
}

TEST(DeviceListWorker, StopEndsAnIdentificationPause) {
  FakeAccess access;
  ResultLog log;
  DeviceListWorker worker(
      &access, [&](Result r) { log.add(std::move(r)); }, {}, 600000);
  worker.start();
  worker.push({RequestKind::kIdentify, idOf(9), {}});
  worker.push({RequestKind::kReadName, idOf(9), {}});
  ASSERT_TRUE(access.waitCalls(1));
  const auto start = Clock::now();
  worker.stop();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  // The read queued behind the pause never ran.
  EXPECT_EQ(std::vector<std::string>{"identify 9"}, access.calls());
  worker.stop();  // idempotent
}

TEST(VersionTexts, AboutBoxAndTooltip) {
  struct Case {
    std::map<std::string, std::string> values;
    AboutTexts about;
    std::string tooltip;
  };
  const std::string longName = std::string(126, 'p') + "\xC3\xA9" + "xyz";
  const Case cases[] = {
      {{{"ProductName", "Connection Server"},
        {"ProductVersion", "1.6.6.0"},
        {"LegalCopyright", "(C) V"}},
       {"Connection Server", "Connection Server", "Version 1.6.6.0", "(C) V"},
       "Connection Server"},
      {{{"ProductName", "Connection Server"}},
       {"Connection Server", "Connection Server", "Version", ""},
       "Connection Server"},
      {{{"ProductVersion", "2.0"}}, {"About", "", "Version 2.0", ""}, ""},
      {{{"ProductName", longName}},
       {longName, longName, "Version", ""},
       std::string(126, 'p') + "\xC3\xA9"},
  };
  for (const Case& c : cases) {
    const VersionLookup lookup = [&](const std::string& key, std::string* value) {
      auto it = c.values.find(key);
      if (it == c.values.end()) return false;
      *value = it->second;
      return true;
    };
    const AboutTexts t = aboutTexts(lookup);
    EXPECT_EQ(c.about.caption, t.caption);
    EXPECT_EQ(c.about.product, t.product);
    EXPECT_EQ(c.about.version, t.version);
    EXPECT_EQ(c.about.copyright, t.copyright);
    EXPECT_EQ(c.tooltip, trayTooltip(lookup));
  }
}

class UpdaterRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = plat::makeTempDir("ui-logic-");
    ASSERT_FALSE(dir_.empty());
    plat::setEnvironment("LINKHUB_REGISTRY", dir_ + "/registry.reg");
  }
  void TearDown() override {
    ::unsetenv("LINKHUB_REGISTRY");
    std::filesystem::remove_all(dir_);
  }
  void writeRegistry(const std::string& valueLine) {
    std::ofstream f(dir_ + "/registry.reg");
    f << "Windows Registry Editor Version "
         "5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\linkhub]\n"
      << valueLine << "\n";
  }
  std::string dir_;
};

TEST_F(UpdaterRegistry, CommandWordsAndFailures) {
  const HwId id = idOf(0xA0);
  const std::string hex = "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf";
  const std::string regText = "Failed on opening configuration registry\n\r";
  const std::string startText = "Failed on starting the updater ";
  struct Case {
    const char* name;
    std::string line;  // "" : no registry file at all
    bool ok;
    std::vector<std::string> argv;
    std::string errorStart;
    std::string errorSystem;
  };
  const Case cases[] = {
      {"no file", "", false, {}, regText, "The system cannot find the file specified."},
      {"no value",
       "\"Other\"=\"x\"",
       false,
       {},
       regText,
       "The system cannot find the file specified."},
      {"dword",
       "\"Updater\"=dword:00000001",
       false,
       {},
       regText,
       "Data of this type is not supported."},
      {"260 bytes",
       "\"Updater\"=\"" + std::string(260, 'u') + "\"",
       false,
       {},
       regText,
       "More data is available."},
      {"259 bytes",
       "\"Updater\"=\"" + std::string(259, 'u') + "\"",
       true,
       {std::string(259, 'u'), hex},
       "",
       ""},
      {"words",
       "\"Updater\"=\"\\\"/opt/my fw/fwflash\\\" --gui\"",
       true,
       {"/opt/my fw/fwflash", "--gui", hex},
       "",
       ""},
      {"unbalanced", "\"Updater\"=\"\\\"/opt/fw\"", false, {}, startText, "The data is invalid."},
      {"empty", "\"Updater\"=\"\"", false, {}, startText, "The data is invalid."},
  };
  for (const Case& c : cases) {
    if (c.line.empty())
      std::filesystem::remove(dir_ + "/registry.reg");
    else
      writeRegistry(c.line);
    std::vector<std::string> spawned;
    const UpdaterLaunch launch =
        launchUpdater("Veltrano", "linkhub", id, [&](const std::vector<std::string>& argv) {
          spawned = argv;
          return 0;
        });
    EXPECT_EQ(c.ok, launch.ok) << c.name << ": " << launch.errorText;
    if (c.ok) {
      EXPECT_EQ(c.argv, spawned) << c.name;
    } else {
      EXPECT_TRUE(spawned.empty()) << c.name;
      EXPECT_EQ(0u, launch.errorText.rfind(c.errorStart, 0)) << c.name << ": " << launch.errorText;
      EXPECT_NE(std::string::npos, launch.errorText.find(c.errorSystem))
          << c.name << ": " << launch.errorText;
    }
  }
}

TEST_F(UpdaterRegistry, AFailedStartNamesTheCommandAndTheReason) {
  writeRegistry("\"Updater\"=\"/nonexistent/fwflash -x\"");
  const UpdaterLaunch launch = launchUpdater("Veltrano", "linkhub", idOf(1));
  EXPECT_FALSE(launch.ok);
  EXPECT_NE(std::string::npos, launch.errorText.find("/nonexistent/fwflash -x"))
      << launch.errorText;
  EXPECT_NE(std::string::npos, launch.errorText.find("cannot find the file")) << launch.errorText;
}

}  // namespace
