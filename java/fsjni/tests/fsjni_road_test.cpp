// Fsjni on the whole road: a JVM (with -Xcheck:jni) running the binding over
// fsproto, the linkhub program with usblink on the virtual bus, and a device
// of this process whose storage and knobs the test sets between the JVM's
// runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/Road.h"
#include "testsupport/HexText.h"
#include "testsupport/ShellRunner.h"
#include "vlntest/TimeSlack.h"

using translayer::HwId;

namespace {

using testsupport::hexUpper;

using e2e::Road;

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = char((i * 7 + 3) & 0xFF);
  return s;
}

struct ProbeRun {
  std::vector<std::string> lines;  // FsjniProbe's output, line by line
  long ms = 0;                     // the JVM's whole run
  std::string all;
};

class FsjniRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(road_.ok());
    ASSERT_TRUE(road_.startHub());
    work_ = road_.baseDir() + "/jvm";
    std::filesystem::create_directories(work_);
    dev_ = road_.plugDevice({"fsjdev", id_});
    ASSERT_NE(nullptr, dev_);
    std::string error;
    ASSERT_TRUE(dev_->makeStorage(&error)) << error;
    root_ = dev_->volumePath("root");
  }

  // One JVM run of FsjniProbe. Fails the test on a JNI warning, a non-zero
  // exit, a callback off the dispatcher thread or an operation that did not
  // end.
  ProbeRun probe(const std::vector<std::string>& ops) {
    shelltest::ShellRunner java(VLN_JAVA, work_);
    std::vector<std::string> args = {"-Xcheck:jni",
                                     std::string("-Djava.library.path=") + VLN_JAVA_LIB_DIR, "-cp",
                                     VLN_JAVA_CLASSPATH, "FsjniProbe"};
    args.insert(args.end(), ops.begin(), ops.end());
    const auto begin = std::chrono::steady_clock::now();
    const shelltest::ShellResult result = java.run(args);
    ProbeRun run;
    run.ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - begin)
                      .count());
    run.all = result.out + result.err;
    EXPECT_EQ(0, result.status) << run.all;
    for (const char* warning : {"WARNING in native method", "WARNING: JNI", "FATAL ERROR"})
      EXPECT_EQ(std::string::npos, run.all.find(warning)) << run.all;
    std::istringstream in(result.out);
    std::string line;
    while (std::getline(in, line)) {
      EXPECT_NE(0u, line.rfind("violation", 0)) << line;
      EXPECT_NE(0u, line.rfind("timeout", 0)) << line;
      run.lines.push_back(line);
    }
    EXPECT_FALSE(run.lines.empty() || run.lines.back() != "done") << run.all;
    return run;
  }

  std::string op(const std::string& name, const HwId& id, const std::vector<std::string>& texts,
                 const std::string& tail = "") const {
    std::string s = name + ":" + Road::hexOf(id);
    for (const std::string& t : texts) s += ":" + (t == "null" ? t : hexUpper(t));
    if (!tail.empty()) s += ":" + tail;
    return s;
  }

  static std::vector<std::string> linesStarting(const ProbeRun& run, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& l : run.lines)
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
  }

  static std::string end(bool ok, int code, const std::string& text) {
    return "end " + std::string(ok ? "true" : "false") + " " + std::to_string(code) + " " +
           (text == "null" ? text : hexUpper(text));
  }

  Road road_;
  std::string work_;
  const HwId id_ = Road::makeHwId(0x50);
  devsim::DeviceHost* dev_ = nullptr;
  std::filesystem::path root_;
};

TEST_F(FsjniRoad, PutSendsTheWholeFileWithRisingProgressAndOneEnd) {
  const std::string local = work_ + "/put.bin";
  const std::string bytes = pattern(3000);
  writeFile(local, bytes);
  const ProbeRun run = probe({op("put", id_, {"root", local, "put.bin"}, "65535")});
  EXPECT_EQ((std::vector<std::string>{"start put z:true"}), linesStarting(run, "start "));
  long last = -1;
  const std::vector<std::string> progress = linesStarting(run, "progress ");
  ASSERT_FALSE(progress.empty()) << run.all;
  for (const std::string& p : progress) {
    long done = 0, total = 0;
    ASSERT_EQ(2, std::sscanf(p.c_str(), "progress %ld %ld", &done, &total)) << p;
    EXPECT_GE(done, last) << p;
    EXPECT_EQ(3000, total) << p;
    last = done;
  }
  EXPECT_EQ(3000, last);
  EXPECT_EQ(std::vector<std::string>{end(true, 0, "")}, linesStarting(run, "end ")) << run.all;
  EXPECT_EQ(bytes, readFile(root_ / "put.bin"));
  EXPECT_EQ(int16_t(-1), dev_->files().attributes("root", "put.bin"));
}

TEST_F(FsjniRoad, GetIntoANonAsciiLocalNameEqualsTheDeviceFile) {
  const std::string bytes = pattern(5000);
  writeFile(root_ / "get.bin", bytes);
  const std::string local = work_ + "/caf\xC3\xA9 \xF0\x9F\x98\x80.bin";
  const ProbeRun run = probe({op("get", id_, {"root", "get.bin", local})});
  EXPECT_EQ((std::vector<std::string>{"start get z:true"}), linesStarting(run, "start "));
  EXPECT_EQ(std::vector<std::string>{end(true, 0, "")}, linesStarting(run, "end ")) << run.all;
  EXPECT_EQ(bytes, readFile(local)) << "the local file under its UTF-8 name";
}

TEST_F(FsjniRoad, ListingGivesOneRowPerFileThenTheEnd) {
  writeFile(root_ / "a.txt", "12345");
  writeFile(root_ / "b.txt", std::string(70000, 'b'));
  dev_->files().clearRecords();
  // Whatever the second String holds, the listing is the same.
  const ProbeRun run =
      probe({op("list", id_, {"root", "ignored"}), op("list", id_, {"root", "null"})});
  const std::vector<std::string> infos = linesStarting(run, "info ");
  ASSERT_EQ(4u, infos.size()) << run.all;
  std::vector<std::string> first(infos.begin(), infos.begin() + 2);
  std::sort(first.begin(), first.end());
  EXPECT_EQ((std::vector<std::string>{"info " + hexUpper("a.txt") + " 5 0",
                                      "info " + hexUpper("b.txt") + " 70000 0"}),
            first);
  EXPECT_EQ(std::vector<std::string>(infos.begin(), infos.begin() + 2),
            std::vector<std::string>(infos.begin() + 2, infos.end()));
  // The end carries the count, and its text is the code's translation.
  const std::string listEnd = end(true, 2, "No such file (ENOENT)");
  EXPECT_EQ((std::vector<std::string>{listEnd, listEnd}), linesStarting(run, "end "));
  // Every row comes before its end.
  std::size_t endAt = 0;
  while (run.lines[endAt].rfind("end ", 0) != 0) ++endAt;
  EXPECT_EQ(2u, std::size_t(
                    std::count_if(run.lines.begin(), run.lines.begin() + long(endAt),
                                  [](const std::string& l) { return l.rfind("info ", 0) == 0; })));
}

TEST_F(FsjniRoad, FailuresEndWithTheirCodeAndText) {
  writeFile(root_ / "gone.txt", "x");
  const HwId offline = Road::makeHwId(0x90);
  const ProbeRun run = probe({
      op("get", id_, {"root", "missing.bin", work_ + "/missing.bin"}),
      op("del", id_, {"root", "gone.txt"}),
      op("del", id_, {"root", "gone.txt"}),
      op("list", offline, {"root", ""}),
      op("put", id_, {"root", work_ + "/no such local file", "x.bin"}, "0"),
  });
  const std::vector<std::string> starts = linesStarting(run, "start ");
  EXPECT_EQ((std::vector<std::string>{"start get z:true", "start del z:true", "start del z:true",
                                      "start list z:false", "start put z:false"}),
            starts);
  EXPECT_EQ((std::vector<std::string>{
                end(false, -2, "No such file (ENOENT)"),
                end(true, 0, ""),
                end(false, -2, "No such file (ENOENT)"),
                end(false, -107, "connection refused (ECONNREFUSED)"),
                end(false, -2, "No such file (ENOENT)"),
            }),
            linesStarting(run, "end "))
      << run.all;
  EXPECT_FALSE(std::filesystem::exists(root_ / "gone.txt"));
  EXPECT_FALSE(std::filesystem::exists(work_ + "/missing.bin")) << "a failed get leaves no file";
}

TEST_F(FsjniRoad, AnOperationStartedFromTheEndCallbackCompletes) {
  const std::string local = work_ + "/chain.bin";
  writeFile(local, pattern(1200));
  // The listing's count 1 has no translation: a null text.
  const ProbeRun run = probe({op("chain", id_, {"root", local, "chain.bin"}, "7")});
  EXPECT_EQ((std::vector<std::string>{"start chain z:true"}), linesStarting(run, "start "));
  EXPECT_EQ((std::vector<std::string>{"chained list z:true"}), linesStarting(run, "chained "));
  EXPECT_EQ((std::vector<std::string>{end(true, 0, ""), end(true, 1, "null")}),
            linesStarting(run, "end "))
      << run.all;
  EXPECT_EQ((std::vector<std::string>{"info " + hexUpper("chain.bin") + " 1200 7"}),
            linesStarting(run, "info "));
}

TEST_F(FsjniRoad, MalformedIdsAndNullArgumentsStartNothing) {
  const std::string shortId = Road::hexOf(id_).substr(0, 30);
  dev_->files().clearRecords();
  const ProbeRun run = probe({
      "list:" + shortId + ":" + hexUpper("root") + ":" + hexUpper(""),
      "del:" + Road::hexOf(id_) + "00:" + hexUpper("root") + ":" + hexUpper("x"),
      "get:null:" + hexUpper("root") + ":" + hexUpper("a") + ":" + hexUpper("b"),
      op("del", id_, {"null", "x"}),
      op("get", id_, {"root", "a", "null"}),
  });
  EXPECT_EQ((std::vector<std::string>{
                "start list exc WrapperException Fsjni " + shortId + " " +
                    hexUpper("Invalid remote id size"),
                "start del exc WrapperException Fsjni " + Road::hexOf(id_) + "00 " +
                    hexUpper("Invalid remote id size"),
                "start get exc NullPointerException - - " + hexUpper("remoteId"),
                "start del exc NullPointerException - - " + hexUpper("storage"),
                "start get exc NullPointerException - - " + hexUpper("localFile"),
            }),
            linesStarting(run, "start "));
  EXPECT_TRUE(linesStarting(run, "end ").empty()) << run.all;
  EXPECT_TRUE(dev_->files().requests().empty());
}

// A new operation first ends the one still running.
TEST_F(FsjniRoad, AListingStartedDuringATransferEndsTheTransferFirst) {
  const std::string local = work_ + "/big.bin";
  writeFile(local, pattern(100000));
  writeFile(root_ / "only.txt", "1");
  devsim::FileServerFaults faults;
  faults.stopAcknowledgingAfter = 1024;  // the put stalls after its first kilobyte
  dev_->files().setFaults(faults);
  const ProbeRun run =
      probe({op("open-put", id_, {"root", local, "big.bin"}, "0"), op("list", id_, {"data", ""})});
  EXPECT_EQ((std::vector<std::string>{"start put z:true", "start list z:true"}),
            linesStarting(run, "start "));
  EXPECT_EQ(
      (std::vector<std::string>{end(false, -108, "connection reset by remote party (ECONNRESET)"),
                                end(true, 0, "")}),
      linesStarting(run, "end "))
      << run.all;
  EXPECT_TRUE(linesStarting(run, "info ").empty()) << "the data volume is empty";
}

// main returns while a transfer from a silent device is still open: the
// JVM ends by itself, and the unload's cleanup does not hang it.
TEST_F(FsjniRoad, TheJvmEndsWithATransferOpen) {
  writeFile(root_ / "slow.bin", pattern(100));
  devsim::FileServerFaults faults;
  faults.silent = true;
  dev_->files().setFaults(faults);
  const ProbeRun run = probe({op("open-get", id_, {"root", "slow.bin", work_ + "/slow.bin"})});
  EXPECT_EQ((std::vector<std::string>{"start get z:true"}), linesStarting(run, "start "));
  EXPECT_LE(run.ms, vlntest::slackBound(std::chrono::seconds(5)).count()) << run.all;
}

}  // namespace
