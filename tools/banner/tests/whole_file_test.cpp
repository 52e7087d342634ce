#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "plat/runtime.h"
#include "toolsupport/WholeFile.h"

namespace fs = std::filesystem;
using toolsupport::FileKind;
using toolsupport::readWholeFile;
using toolsupport::ToolError;
using toolsupport::writeWholeFile;

namespace {

class WholeFile : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = plat::makeTempDir("wholefile");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) { return (fs::path(dir_) / name).string(); }
  std::string put(const std::string& name, const std::string& content) {
    std::ofstream(path(name), std::ios::binary) << content;
    return path(name);
  }
  static std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string dir_;
};

std::string asString(const std::vector<char>& v) { return std::string(v.begin(), v.end()); }

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ToolError& e) {
    return e.what();
  }
  return "(no error)";
}

}  // namespace

TEST_F(WholeFile, TextGetsExactlyOneCountedZero) {
  struct Case {
    std::string content;
  } cases[] = {
      {""}, {"<a/>"}, {std::string("x\0y\0", 4)}, {"ends with zero" + std::string(1, '\0')}};
  for (const auto& c : cases) {
    std::string p = put("in", c.content);
    EXPECT_EQ(asString(readWholeFile(p, FileKind::kBinary)), c.content);
    EXPECT_EQ(asString(readWholeFile(p, FileKind::kText)), c.content + std::string(1, '\0'));
  }
}

TEST_F(WholeFile, LargeFilesAcrossReadChunks) {
  std::string big;
  for (size_t i = 0; i < (3u << 20) + 7; ++i) big += char(i * 131 + (i >> 12));
  std::string p = put("big", big);
  auto bin = readWholeFile(p, FileKind::kBinary);
  ASSERT_EQ(bin.size(), big.size());
  EXPECT_TRUE(asString(bin) == big);
  auto text = readWholeFile(p, FileKind::kText);
  ASSERT_EQ(text.size(), big.size() + 1);
  EXPECT_EQ(text.back(), '\0');
}

TEST_F(WholeFile, WhatCannotBeReadIsNotFound) {
  for (const std::string& p : {path("missing.xml"), dir_}) {
    EXPECT_EQ(errorOf([&] { readWholeFile(p, FileKind::kText); }), "File not found: " + p);
    EXPECT_EQ(errorOf([&] { readWholeFile(p, FileKind::kBinary); }), "File not found: " + p);
  }
}

TEST_F(WholeFile, WriteTruncatesAndReportsFailure) {
  std::string p = put("out", "a much longer earlier content");
  writeWholeFile(p, "new\0", 4);
  EXPECT_EQ(slurp(p), std::string("new\0", 4));
  writeWholeFile(p, "", 0);
  EXPECT_EQ(slurp(p), "");
  for (const std::string& bad : {path("no/such/dir/out"), dir_}) {
    EXPECT_EQ(errorOf([&] { writeWholeFile(bad, "x", 1); }), "Cannot write file: " + bad);
  }
}
