// The diagnostic trace: which areas a VLN_TRACE value switches on, the line
// format on standard error, and that lines of several threads never mix.
#include "plat/trace.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using plat::TraceArea;

uint32_t bit(TraceArea a) { return 1u << unsigned(a); }

// Standard error into a temporary file for the life of the object.
class StderrCapture {
 public:
  StderrCapture() : file_(::tmpfile()), saved_(::dup(STDERR_FILENO)) {
    ::fflush(stderr);
    ::dup2(::fileno(file_), STDERR_FILENO);
  }
  ~StderrCapture() {
    restore();
    ::fclose(file_);
  }
  std::string text() {
    restore();
    std::string out;
    ::rewind(file_);
    char buffer[4096];
    size_t n;
    while ((n = ::fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
  }
  FILE* file_;
  int saved_;
};

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class TraceEnv : public ::testing::Test {
 protected:
  void TearDown() override {
    ::unsetenv("VLN_TRACE");
    plat::traceReload();
  }
  void setVariable(const char* value) {
    ::setenv("VLN_TRACE", value, 1);
    plat::traceReload();
  }
};

TEST(TraceAreas, NamesListsAndAll) {
  const uint32_t all = (1u << plat::kTraceAreaCount) - 1;
  struct Case {
    const char* value;
    uint32_t mask;
  } cases[] = {
      {"", 0},
      {"usb", bit(TraceArea::kUsb)},
      {"usb,link", bit(TraceArea::kUsb) | bit(TraceArea::kLink)},
      {" Link , USB ", bit(TraceArea::kUsb) | bit(TraceArea::kLink)},
      {"vbus,frames,rpc,pipes", bit(TraceArea::kVbus) | bit(TraceArea::kFrames) |
                                    bit(TraceArea::kRpc) | bit(TraceArea::kPipes)},
      {"all", all},
      {"ALL,usb", all},
      {"bogus,rpc", bit(TraceArea::kRpc)},
      {",,link,,", bit(TraceArea::kLink)},
      {"allx,us,links,usb2", 0},  // whole names only
      {"1", 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.mask, plat::traceAreasOf(c.value)) << '"' << c.value << '"';
  for (int i = 0; i < plat::kTraceAreaCount; ++i) {
    const TraceArea area = TraceArea(i);
    EXPECT_EQ(bit(area), plat::traceAreasOf(plat::traceAreaName(area))) << i;
  }
}

TEST_F(TraceEnv, OnlyTheNamedAreasAreOnAndUnsetIsOff) {
  setVariable("usb,link");
  EXPECT_TRUE(plat::traceOn(TraceArea::kUsb));
  EXPECT_TRUE(plat::traceOn(TraceArea::kLink));
  EXPECT_FALSE(plat::traceOn(TraceArea::kVbus));
  EXPECT_FALSE(plat::traceOn(TraceArea::kRpc));
  ::unsetenv("VLN_TRACE");
  plat::traceReload();
  for (int i = 0; i < plat::kTraceAreaCount; ++i) EXPECT_FALSE(plat::traceOn(TraceArea(i))) << i;
}

TEST_F(TraceEnv, TheMacroPrintsOnlyForAreasThatAreOnAndEvaluatesNothingOtherwise) {
  setVariable("rpc");
  int evaluated = 0;
  auto count = [&] { return ++evaluated; };
  StderrCapture capture;
  VLN_TRACE(kLink, "not shown %d", count());
  VLN_TRACE(kRpc, "shown %d", count());
  const std::vector<std::string> lines = linesOf(capture.text());
  EXPECT_EQ(1, evaluated);
  ASSERT_EQ(1u, lines.size());
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(trace \d\d:\d\d:\d\d\.\d{6} rpc: shown 1)")))
      << lines[0];
}

TEST_F(TraceEnv, ALongTextIsCutToOneLine) {
  StderrCapture capture;
  const std::string text(5000, 'x');
  plat::traceLine(TraceArea::kPipes, "%s tail", text.c_str());
  plat::traceLine(TraceArea::kPipes, "next");
  const std::string out = capture.text();
  const std::vector<std::string> lines = linesOf(out);
  ASSERT_EQ(2u, lines.size());
  EXPECT_LT(lines[0].size(), 1024u);
  EXPECT_EQ("...", lines[0].substr(lines[0].size() - 3));
  EXPECT_NE(std::string::npos, lines[1].find("pipes: next"));
  EXPECT_EQ('\n', out.back());
}

TEST_F(TraceEnv, LinesOfManyThreadsStayWhole) {
  constexpr int kThreads = 8, kLines = 300;
  StderrCapture capture;
  {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([t] {
        const std::string pad(200, char('a' + t));
        for (int i = 0; i < kLines; ++i)
          plat::traceLine(TraceArea::kLink, "%d %d %s", t, i, pad.c_str());
      });
    for (auto& t : threads) t.join();
  }
  const std::vector<std::string> lines = linesOf(capture.text());
  ASSERT_EQ(size_t(kThreads * kLines), lines.size());
  const std::regex whole(R"(trace \S+ link: (\d) \d+ ([a-h])\2{199})");
  std::vector<int> perThread(kThreads, 0);
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
    EXPECT_EQ(char('a' + std::stoi(m[1])), m[2].str()[0]) << line;
    ++perThread[std::stoi(m[1])];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(kLines, perThread[t]) << t;
}

TEST(TraceHex, BytesAndWhatWasLeftOut) {
  const uint8_t bytes[] = {0x8f, 0x00, 0x20, 0x7f, 0xab};
  struct Case {
    size_t length, limit;
    const char* text;
  } cases[] = {
      {0, 24, ""},
      {1, 24, "8f"},
      {5, 24, "8f 00 20 7f ab"},
      {5, 5, "8f 00 20 7f ab"},
      {5, 2, "8f 00 ... (+3)"},
      {5, 0, "... (+5)"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.text, plat::traceHex(bytes, c.length, c.limit)) << c.length << "/" << c.limit;
}

}  // namespace
