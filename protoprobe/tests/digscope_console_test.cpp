// The DigScope console's event lines and its queue of destination files, in
// process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "DigScopeConsole.h"
#include "ProtocolConsoles.h"
#include "scopeproto/scopeproto.h"

namespace {

using protoprobe::ScopeFileQueue;
using protoprobe::scopeEventText;

std::string text(uint64_t event, const void* data, uint64_t length, bool* known = nullptr) {
  ScopeFileQueue files;
  bool k = false;
  std::string t = scopeEventText(event, data, length, &k, files);
  if (known) *known = k;
  return t;
}

TEST(DigScopeConsoleEvents, LinesOfEachEvent) {
  const ProtDigScopeStatus empty{0, 0}, armed{1, 0}, running{2, 37.5f}, valid{3, 100}, odd{9, 1};
  ProtDigScopeChannelList none{}, two{};
  two.maxCaptureTime = 2.5f;
  two.count = 2;
  two.entries[0] = {3, {}, 0.01f};
  two.entries[1] = {0x1234, {}, 0.5f};
  none.maxCaptureTime = -1;
  none.count = 1;  // shown as undefined whatever the count
  const ProtDigScopeProgress half{50, 100}, third{1, 3}, nothing{0, 0}, start{6, 0};
  struct Case {
    uint64_t event;
    const void* data;
    uint64_t length;
    std::string line;
  };
  const Case cases[] = {
      {0, nullptr, 3, "DIS (3)"},
      {1, nullptr, 0, "CON"},
      {2, &empty, 8, "Status : empty"},
      {2, &armed, 8, "Status : armed"},
      {2, &running, 8, "Status : running, fill=37.5"},
      {2, &valid, 8, "Status : valid"},
      {2, &odd, 8, "Status : undefined"},
      {2, &armed, 7, "Invalid lenght: 7"},
      {3, &two, sizeof two,
       "Timings : max capture time: 2.5sec, paridx(3) = 0.01sec, paridx(4660) = 0.5sec"},
      {3, &none, sizeof none, "Timings : empty//undefined"},
      {3, &two, 8, "Invalid lenght: 8"},
      {4, &half, 8, "Data progress : 50%"},
      {4, &third, 8, "Data progress : 33.3333%"},
      // A total of 0 is 0%, never a division by zero.
      {4, &nothing, 8, "Data progress : 0%"},
      {4, &start, 8, "Data progress : 0%"},
      {4, &half, 16, "Invalid lenght: 16"},
      {5, &half, 8, "Invalid lenght: 8"},
  };
  for (const Case& c : cases) {
    bool known = false;
    EXPECT_EQ(text(c.event, c.data, c.length, &known), c.line);
    EXPECT_TRUE(known);
  }
  bool known = true;
  EXPECT_EQ(text(6, nullptr, 0, &known), "Unknown event ID: 6");
  EXPECT_FALSE(known);
}

TEST(DigScopeConsoleEvents, RawResultsGoToTheFilesInTheOrderTheyWereAskedFor) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("digscope_console_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string first = (dir / "first.bin").string(), second = (dir / "second.bin").string(),
                    failed = (dir / "failed.bin").string();
  ScopeFileQueue files;
  files.push(first);
  const uint64_t lost = files.push(failed);
  files.push(second);
  // The request of `failed` returned without a result: its name goes.
  files.drop(lost);
  EXPECT_EQ(files.size(), 2u);

  const uint8_t a[] = {1, 2, 3}, b[] = {9, 8, 7, 6, 5};
  const ProtDigScopeRawResult ra{0, sizeof a, a}, rb{0, sizeof b, b};
  bool known;
  EXPECT_EQ(scopeEventText(5, &ra, sizeof ra, &known, files),
            "Data completed : Written 3 bytes to " + first);
  EXPECT_EQ(scopeEventText(5, &rb, sizeof rb, &known, files),
            "Data completed : Written 5 bytes to " + second);
  auto read = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(read(first), std::vector<uint8_t>(a, a + 3));
  EXPECT_EQ(read(second), std::vector<uint8_t>(b, b + 5));
  EXPECT_FALSE(std::filesystem::exists(failed));

  // No name left: nowhere to write.
  EXPECT_EQ(scopeEventText(5, &ra, sizeof ra, &known, files),
            "Data completed : ERROR on open for write");
  // A failed raw request takes its name and writes nothing.
  files.push((dir / "status.bin").string());
  const ProtDigScopeRawResult bad{15, 0, nullptr};
  EXPECT_EQ(scopeEventText(5, &bad, sizeof bad, &known, files),
            "Data completed : ERROR: " + protoprobe::scopeResultText(15));
  EXPECT_EQ(files.size(), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir / "status.bin"));
  // A file that cannot be opened.
  files.push((dir / "no" / "such" / "dir.bin").string());
  EXPECT_EQ(scopeEventText(5, &ra, sizeof ra, &known, files),
            "Data completed : ERROR on open for write");
  std::filesystem::remove_all(dir);
}

}  // namespace
