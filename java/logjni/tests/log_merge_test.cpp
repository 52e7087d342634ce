// The log binding's conversion over a scripted codec table: the handle is
// destroyed and every codec buffer freed on each path (the leak checker of
// the asan tree sees a missed free), and a failed step is never an empty
// result.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "LogMerge.h"

struct LogViewerHandle {
  std::string images;
};

namespace {

// What the scripted codec does; one script per case.
struct Script {
  bool createFails = false;
  bool decodeFails = false;
  const char* lastError = "";
  enum class Render { kText, kFalse, kTrueWithoutText, kFalseButText } render = Render::kText;
};

Script gScript;
int gCreated = 0;
int gDestroyed = 0;

char* mallocCopy(const std::string& s) {
  char* p = static_cast<char*>(std::malloc(s.size() + 1));
  std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

const logjni::LogCodec kCodec{
    []() -> LogViewerHandle* {
      if (gScript.createFails) return nullptr;
      ++gCreated;
      return new LogViewerHandle;
    },
    [](LogViewerHandle* h) {
      ++gDestroyed;
      delete h;
    },
    [](LogViewerHandle*) { return gScript.lastError; },
    [](LogViewerHandle* h, const void* data, unsigned int length) {
      if (gScript.decodeFails) return false;
      h->images.append(static_cast<const char*>(data), length);
      return true;
    },
    [](LogViewerHandle* h, char** xml) {
      switch (gScript.render) {
        case Script::Render::kText:
          *xml = mallocCopy("<" + h->images + ">");
          return true;
        case Script::Render::kFalse:
          return false;
        case Script::Render::kTrueWithoutText:
          return true;
        case Script::Render::kFalseButText:
          *xml = mallocCopy("stray");
          return false;
      }
      return false;
    },
};

class LogMerge : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("logjni_merge_" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_);
    a_ = write("a.bin", "first");
    b_ = write("b.bin", "second");
    gCreated = gDestroyed = 0;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  std::filesystem::path dir_;
  std::string a_, b_;
};

TEST_F(LogMerge, FilesInOrderGiveTheCodecText) {
  gScript = Script{};
  std::vector<char> xml = logjni::mergeLogs(kCodec, {a_, b_});
  EXPECT_EQ(std::string(xml.begin(), xml.end()), "<firstsecond>");
  EXPECT_EQ(gCreated, 1);
  EXPECT_EQ(gDestroyed, 1);
}

TEST_F(LogMerge, EveryFailureIsATextAndReleasesTheHandle) {
  struct Case {
    const char* what;
    Script script;
    bool secondMissing;
    std::string expected;  // "" = the missing file's text
  } cases[] = {
      {"second file missing", Script{}, true, ""},
      {"decode fails with text", Script{false, true, "Read file error"}, false, "Read file error"},
      {"decode fails without text", Script{false, true, ""}, false, "Exception error"},
      {"decode fails, null text", Script{false, true, nullptr}, false, "Exception error"},
      {"render fails", Script{false, false, "", Script::Render::kFalse}, false, "Exception error"},
      {"render fails with text", Script{false, false, "Out of memory", Script::Render::kFalse},
       false, "Out of memory"},
      {"render true without text", Script{false, false, "", Script::Render::kTrueWithoutText},
       false, "Exception error"},
      {"render false but hands out text", Script{false, false, "", Script::Render::kFalseButText},
       false, "Exception error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    gScript = c.script;
    gCreated = gDestroyed = 0;
    const std::string second = c.secondMissing ? (dir_ / "missing.bin").string() : b_;
    const std::string expected = c.expected.empty() ? "File not found: " + second : c.expected;
    try {
      logjni::mergeLogs(kCodec, {a_, second});
      ADD_FAILURE() << "no failure";
    } catch (const std::string& text) {
      EXPECT_EQ(text, expected);
    }
    EXPECT_EQ(gCreated, 1);
    EXPECT_EQ(gDestroyed, 1);
  }
}

TEST_F(LogMerge, NoHandleIsAFailureWithNothingToDestroy) {
  gScript = Script{true};
  try {
    logjni::mergeLogs(kCodec, {});
    ADD_FAILURE() << "no failure";
  } catch (const std::string& text) {
    EXPECT_EQ(text, "Exception error");
  }
  EXPECT_EQ(gDestroyed, 0);
}

}  // namespace
