// The FileServer console's event texts and its listing layout.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "FileServerRunner.h"
#include "fsproto/fsproto.h"

namespace protoprobe {
namespace {

TEST(FileServerRunnerTest, EventTextsAndListingLayout) {
  auto entry = [](const char* name, size_t nameLength, int32_t size, int16_t attributes) {
    FSrvDirEntry e{};
    std::memcpy(e.name, name, nameLength);
    e.size = size;
    e.attributes = attributes;
    return e;
  };
  const FSrvDirEntry plain = entry("hello", 5, 1024, 3);
  const FSrvDirEntry full = entry("abcdefghijklmnopqrstuvwxyz012345", 32, 7, -1);
  const int32_t progress[2] = {6, 6}, open[2] = {5, 0};
  const int32_t three = 3, failed = -19;
  const struct {
    int event;
    const void* data;
    size_t length;
    std::string text;
  } cases[] = {
      {FSRV_EVENT_DIR_ENTRY, &plain, 40, "hello" + std::string(27, ' ') + "      1024 0003h\n"},
      {FSRV_EVENT_DIR_ENTRY, &full, 40, "abcdefghijklmnopqrstuvwxyz012345         7 ffffh\n"},
      {FSRV_EVENT_DIR_ENTRY, &plain, 39, ""},
      {FSRV_EVENT_PROGRESS, progress, 8, "Transferred         6 of 6\r"},
      {FSRV_EVENT_PROGRESS, open, 8, "Transferred         5\r"},
      {FSRV_EVENT_PROGRESS, open, 4, ""},
      {FSRV_EVENT_FINISHED, &three, 4, "\nOperation successfully terminated (3).\n"},
      {FSRV_EVENT_FAILED, &failed, 4, "\nOperation aborted with error: -19\n"},
      {7, &three, 4, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.text, fileServerEventText(c.event, c.data, c.length)) << c.event;
  EXPECT_EQ("Name" + std::string(28, ' ') + "      Size Attr \n", fileListingHeader());
}

}  // namespace
}  // namespace protoprobe
