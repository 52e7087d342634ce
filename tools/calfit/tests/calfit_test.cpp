// calfit run as a process: its option rules, exit codes, messages and the
// files it writes, against golden files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string kGolden = CALFIT_GOLDEN;

// What the shell sees of the exit codes 0, 1, -1 and -2.
constexpr int kDone = 0, kUsage = 1, kRunFailed = 255, kUnparsable = 254;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string golden(const std::string& name) {
  std::string bytes = readFile(fs::path(kGolden) / name);
  EXPECT_FALSE(bytes.empty()) << "missing golden file " << name;
  return bytes;
}

std::string quoted(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string banner() {
  return "\ncalfit\nVersion 1.8.0.0\n" + std::string(CALFIT_COPYRIGHT) + "\n\n";
}

// Every run gets its own directory, holding copies of the golden inputs
// under their own names.
class CalfitRun : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir_ = fs::temp_directory_path() /
           ("calfit_test_" + std::to_string(random()) + std::to_string(random()));
    fs::create_directories(dir_);
    for (const char* name : {"definitions_1.xml", "definitions_2.xml", "dataset.xml",
                             "values_1.xml", "values_2.xml", "record.bin"})
      fs::copy_file(fs::path(kGolden) / name, dir_ / name);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
  };

  // Runs calfit in the run's directory; standard output (unless sent to
  // `to`), standard error and the exit code are kept in files there.
  Result runTo(const std::vector<std::string>& args, const std::string& to) {
    std::string command = "cd " + quoted(dir_.string()) + " && " + quoted(CALFIT_PROGRAM);
    for (const auto& a : args) command += " " + quoted(a);
    command += " >" + quoted(to) + " 2>.stderr; echo $? >.exitcode";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    Result r;
    r.exitCode = std::atoi(readFile(dir_ / ".exitcode").c_str());
    r.out = readFile(dir_ / ".stdout");
    r.err = readFile(dir_ / ".stderr");
    return r;
  }
  Result run(const std::vector<std::string>& args) {
    Result r = runTo(args, ".stdout");
    EXPECT_EQ(r.err, "") << "calfit writes nothing on standard error";
    return r;
  }

  fs::path dir_;
};

const std::vector<std::string> kDefinitions{"-D", "definitions_1.xml", "-D", "definitions_2.xml"};

std::vector<std::string> args(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

}  // namespace

TEST_F(CalfitRun, OptionRules) {
  const std::string usage = golden("usage.txt");
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int exitCode;
  } cases[] = {
      {"no options", {}, kUsage},
      {"no data set", args({kDefinitions, {"-O", "out.bin"}}), kUsage},
      {"two data sets",
       args({kDefinitions, {"-S", "dataset.xml", "-S", "dataset.xml", "-O", "out.bin"}}), kUsage},
      {"no definition", {"-S", "dataset.xml", "-O", "out.bin"}, kUsage},
      {"help with a valid run",
       args({kDefinitions, {"-S", "dataset.xml", "-O", "out.bin", "--help"}}), kUsage},
      {"reverse with data values",
       args({kDefinitions,
             {"-S", "dataset.xml", "-R", "record.bin", "-V", "values_1.xml", "-O", "out.xml"}}),
       kUsage},
      {"no output", args({kDefinitions, {"-S", "dataset.xml"}}), kUsage},
      {"two outputs",
       args({kDefinitions, {"-S", "dataset.xml", "-O", "out.bin", "-O", "other.bin"}}), kUsage},
      {"unknown option", args({kDefinitions, {"-S", "dataset.xml", "-O", "out.bin", "--fast"}}),
       kUnparsable},
      {"option without its value", {"-S", "dataset.xml", "-O", "out.bin", "-D"}, kUnparsable},
      {"value for a flag",
       args({kDefinitions, {"-S", "dataset.xml", "-O", "out.bin", "--help=yes"}}), kUnparsable},
      {"value for quiet",
       args({kDefinitions, {"-S", "dataset.xml", "-O", "out.bin", "--quiet=yes"}}), kUnparsable},
  };
  for (const auto& c : cases) {
    Result r = run(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.what;
    // Usage shows the banner first; a command line that does not parse
    // shows the option help alone.
    EXPECT_EQ(r.out, (c.exitCode == kUsage ? banner() : std::string()) + usage) << c.what;
    EXPECT_FALSE(fs::exists(dir_ / "out.bin") || fs::exists(dir_ / "out.xml") ||
                 fs::exists(dir_ / "other.bin"))
        << c.what;
  }
}

TEST_F(CalfitRun, ForwardBuildsTheGoldenRecord) {
  // An existing output is truncated.
  std::ofstream(dir_ / "out.bin", std::ios::binary) << std::string(1000, 'x');
  Result r = run(
      args({kDefinitions,
            {"-S", "dataset.xml", "-V", "values_1.xml", "-V", "values_2.xml", "-O", "out.bin"}}));
  EXPECT_EQ(r.exitCode, kDone);
  EXPECT_EQ(r.out, banner() + "Done\n");
  EXPECT_EQ(readFile(dir_ / "out.bin"), golden("record.bin"));
}

TEST_F(CalfitRun, ForwardWithoutValuesUsesTheDefaults) {
  Result r = run(args({kDefinitions, {"--dataset", "dataset.xml", "--output", "out.bin"}}));
  EXPECT_EQ(r.exitCode, kDone);
  EXPECT_EQ(r.out, banner() + "Done\n");
  EXPECT_EQ(readFile(dir_ / "out.bin"), golden("record_defaults.bin"));
}

TEST_F(CalfitRun, ReverseDecodesTheGoldenRecord) {
  Result r = run(args({kDefinitions, {"-S", "dataset.xml", "-R", "record.bin", "-O", "out.xml"}}));
  EXPECT_EQ(r.exitCode, kDone);
  EXPECT_EQ(r.out, banner() + "Done\n");
  EXPECT_EQ(readFile(dir_ / "out.xml"), golden("record_values.xml"));
}

TEST_F(CalfitRun, QuietPrintsNothingOnSuccess) {
  Result forward = run(args(
      {kDefinitions,
       {"-S", "dataset.xml", "-V", "values_1.xml", "-V", "values_2.xml", "-O", "out.bin", "-Q"}}));
  EXPECT_EQ(forward.exitCode, kDone);
  EXPECT_EQ(forward.out, "");
  EXPECT_EQ(readFile(dir_ / "out.bin"), golden("record.bin"));

  Result reverse = run(
      args({kDefinitions, {"--quiet", "-S", "dataset.xml", "-R", "record.bin", "-O", "out.xml"}}));
  EXPECT_EQ(reverse.exitCode, kDone);
  EXPECT_EQ(reverse.out, "");
  EXPECT_EQ(readFile(dir_ / "out.xml"), golden("record_values.xml"));
}

TEST_F(CalfitRun, FailuresPrintTheirMessageAndWriteNothing) {
  std::ofstream(dir_ / "undefined.xml")
      << "<Dataset><Record index=\"0\"><Name>Nope</Name></Record></Dataset>";
  std::string damaged = golden("record.bin");
  damaged.back() = char(damaged.back() ^ 0x40);
  std::ofstream(dir_ / "damaged.bin", std::ios::binary) << damaged;

  struct Case {
    const char* what;
    std::vector<std::string> args;
    const char* message;
    bool quiet;
  } cases[] = {
      {"missing first definition",
       {"-D", "absent.xml", "-D", "definitions_2.xml", "-S", "dataset.xml", "-O", "out"},
       "File not found: absent.xml",
       false},
      {"missing later definition",
       {"-D", "definitions_1.xml", "-D", "gone.xml", "-S", "dataset.xml", "-O", "out"},
       "File not found: gone.xml",
       false},
      {"missing data set", args({kDefinitions, {"-S", "nodataset.xml", "-O", "out"}}),
       "File not found: nodataset.xml", false},
      {"missing data value",
       args({kDefinitions,
             {"-S", "dataset.xml", "-V", "values_1.xml", "-V", "novalues.xml", "-O", "out"}}),
       "File not found: novalues.xml", false},
      {"missing record",
       args({kDefinitions, {"-S", "dataset.xml", "-R", "norecord.bin", "-O", "out"}}),
       "File not found: norecord.bin", false},
      {"a directory as input", args({kDefinitions, {"-S", ".", "-O", "out"}}), "File not found: .",
       false},
      {"codec error, quiet", args({kDefinitions, {"-S", "undefined.xml", "-O", "out", "-Q"}}),
       "Data set not found: Nope", true},
      {"damaged record",
       args({kDefinitions, {"-S", "dataset.xml", "-R", "damaged.bin", "-O", "out"}}),
       "Invalid CRC on recovered data", false},
      {"definitions in the wrong place",
       {"-D", "dataset.xml", "-S", "dataset.xml", "-O", "out"},
       "Missing root element: Records",
       false},
  };
  for (const auto& c : cases) {
    Result r = run(c.args);
    EXPECT_EQ(r.exitCode, kRunFailed) << c.what;
    EXPECT_EQ(r.out, (c.quiet ? std::string() : banner()) + c.message + "\n") << c.what;
    EXPECT_FALSE(fs::exists(dir_ / "out")) << c.what;
  }
}

// Reported as a failure rather than "Done".
TEST_F(CalfitRun, UnwritableOutputFails) {
  std::vector<std::string> outputs{"no/such/dir/out.bin", "."};
  if (fs::exists("/dev/full")) outputs.push_back("/dev/full");
  for (const auto& output : outputs) {
    for (bool reverse : {false, true}) {
      Result r = run(
          args({kDefinitions,
                {"-S", "dataset.xml"},
                reverse ? std::vector<std::string>{"-R", "record.bin"} : std::vector<std::string>{},
                {"-O", output}}));
      EXPECT_EQ(r.exitCode, kRunFailed) << output;
      EXPECT_EQ(r.out, banner() + "Cannot write file: " + output + "\n") << output;
    }
  }
}

// Markup hiding a level from the nesting guard once overflowed the parser's
// stack: a megabyte of it is refused like any bad document.
TEST_F(CalfitRun, DeeplyNestedXmlIsRefusedWhateverHidesItsLevels) {
  std::string hostile;
  for (int i = 0; i < 100000; ++i) hostile += "<Records x=\"/>\">";
  std::ofstream(dir_ / "hostile.xml", std::ios::binary) << hostile;
  const std::vector<std::vector<std::string>> cases = {
      {"-Q", "-D", "hostile.xml", "-S", "dataset.xml", "-O", "out.bin"},
      args({kDefinitions, {"-Q", "-S", "hostile.xml", "-O", "out.bin"}}),
      args({kDefinitions, {"-Q", "-S", "dataset.xml", "-V", "hostile.xml", "-O", "out.bin"}}),
  };
  for (const auto& c : cases) {
    Result r = run(c);
    EXPECT_EQ(r.exitCode, kRunFailed);
    EXPECT_EQ(r.out, "Exception error\n");
    EXPECT_FALSE(fs::exists(dir_ / "out.bin"));
  }
}

// "Done" that the standard output lost is no success.
TEST_F(CalfitRun, AStandardOutputThatLosesDoneFailsTheRun) {
  Result r = runTo(args({kDefinitions, {"-S", "dataset.xml", "-O", "out.bin"}}), "/dev/full");
  EXPECT_EQ(r.exitCode, kRunFailed);
  EXPECT_EQ(r.err, "Cannot write standard output\n");
  // Quiet, nothing is written to it: nothing is lost.
  Result quiet =
      runTo(args({kDefinitions, {"-Q", "-S", "dataset.xml", "-O", "out.bin"}}), "/dev/full");
  EXPECT_EQ(quiet.exitCode, kDone);
  EXPECT_EQ(quiet.err, "");
}

// The codec takes 32-bit counts: a larger input is refused by name, before
// it is read, rather than cut to what the count can say. The files are
// sparse: they take no room.
TEST_F(CalfitRun, InputsTooLargeForTheCodecAreRefused) {
  const struct {
    const char* name;
    uintmax_t size;
    std::vector<std::string> args;
  } cases[] = {
      // A text gets its terminating zero: 4 GiB - 1 bytes is one too many.
      {"big.xml",
       (uintmax_t(1) << 32) - 1,
       {"-D", "big.xml", "-S", "dataset.xml", "-O", "out.bin"}},
      {"big.bin", (uintmax_t(1) << 32),
       args({kDefinitions, {"-S", "dataset.xml", "-R", "big.bin", "-O", "out.xml"}})},
  };
  for (const auto& c : cases) {
    { std::ofstream(dir_ / c.name, std::ios::binary); }
    std::error_code ec;
    fs::resize_file(dir_ / c.name, c.size, ec);
    if (ec) GTEST_SKIP() << "no room for a sparse file: " << ec.message();
    Result r = run(args({{"-Q"}, c.args}));
    EXPECT_EQ(r.exitCode, kRunFailed) << c.name;
    EXPECT_EQ(r.out, std::string("File too large: ") + c.name + "\n");
    fs::remove(dir_ / c.name);
  }
}
