// Runs the datatool program as the shell does and checks what it prints, what
// it writes and its exit status (the shell sees -2 as 254 and -1 as 255).
// Inputs and golden outputs come from tests/make_fixtures.py.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "plat/runtime.h"

namespace fs = std::filesystem;

namespace {

const char* env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Outcome {
  int status = -1;
  std::string out;
};

const std::string kBannerHead = "\ndatatool\nVersion 1.8.0.0\n" DATATOOL_COPYRIGHT "\n\n";

class Datatool : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(tool_)) << "DATATOOL=" << tool_;
    dir_ = plat::makeTempDir("datatool");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string fixture(const char* name) { return (tests_ / "fixtures" / name).string(); }
  std::string golden(const char* name) { return slurp(tests_ / "golden" / name); }
  std::string temp(const char* name) { return (fs::path(dir_) / name).string(); }

  Outcome run(const std::vector<std::string>& args) {
    std::string command = quote(tool_);
    for (const auto& a : args) command += " " + quote(a);
    const std::string out = temp("stdout"), err = temp("stderr"), rc = temp("status");
    command += " >" + quote(out) + " 2>" + quote(err) + "; echo $? >" + quote(rc);
    std::system(command.c_str());
    Outcome r;
    r.status = std::atoi(slurp(rc).c_str());
    r.out = slurp(out);
    EXPECT_EQ(slurp(err), "") << "everything goes to standard output";
    return r;
  }

  fs::path tool_ = env("DATATOOL");
  fs::path tests_ = env("DATATOOL_TESTS");
  std::string dir_;
};

}  // namespace

TEST_F(Datatool, UsageRulesExitOneWithBannerAndHelp) {
  const std::string log = fixture("log_a.bin"), def = fixture("partable.xml");
  const std::string od = fixture("objdict.xml"), out = temp("out");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--help"},
      {"--help", "-L", log},
      {"-Q"},
      {"-P"},
      {"-L", log, "-D", log},
      {"-T", def, "-J", od, "-K", out, "-V", def, "-O", out},
      {"-T", def, "-O", out},
      {"-T", def, "-V", def},
      {"-T", def, "-V", def, "-R", log, "-O", out},
      {"-T", def, "-R", log, "-R", log, "-O", out},
      {"-T", def, "-V", def, "-O", out, "-O", out},
      {"-J", od},
      {"-J", od, "-K", out, "-K", out},
      {"-J", od, "-O", out},
  };
  for (const auto& args : cases) {
    std::string line;
    for (const auto& a : args) line += a + " ";
    Outcome r = run(args);
    EXPECT_EQ(r.status, 1) << line;
    EXPECT_EQ(r.out, kBannerHead + golden("help.out")) << line;
    EXPECT_FALSE(fs::exists(out)) << line;
  }
}

TEST_F(Datatool, UnreadableCommandLinesExitMinusTwoWithHelpOnly) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"}, {"-L"}, {"--objdict"}, {"-Z"}, {"--odbin=yes"},
  };
  for (const auto& args : cases) {
    Outcome r = run(args);
    EXPECT_EQ(r.status, 254) << args[0];
    // The option table alone: no banner, no message.
    EXPECT_EQ(r.out, golden("help.out")) << args[0];
  }
}

TEST_F(Datatool, MissingInputsAreNamed) {
  const std::string missing = temp("missing.bin"), out = temp("out");
  const std::vector<std::vector<std::string>> cases = {
      {"-Q", "-L", fixture("log_b.bin"), "-L", missing},
      {"-Q", "-D", missing},
      {"-Q", "-T", missing, "-V", fixture("defaults_1.xml"), "-O", out},
      {"-Q", "-T", fixture("partable.xml"), "-V", missing, "-O", out},
      {"-Q", "-T", fixture("partable.xml"), "-R", missing, "-O", out},
      {"-Q", "-J", missing, "-K", out},
      {"-Q", "-J", missing, "-C", "-K", out},
  };
  for (const auto& args : cases) {
    Outcome r = run(args);
    EXPECT_EQ(r.status, 255) << args[1];
    EXPECT_EQ(r.out, "File not found: " + missing + "\n") << args[1];
    EXPECT_FALSE(fs::exists(out));
  }
}

TEST_F(Datatool, ConversionsMatchGoldenOutput) {
  // Printed conversions (banner suppressed).
  struct Printed {
    std::vector<std::string> args;
    const char* golden;
  } printed[] = {
      {{"-Q", "-L", fixture("log_a.bin"), "-L", fixture("log_b.bin")}, "logs.xml.out"},
      {{"-Q", "-P", "-L", fixture("log_a.bin"), "-L", fixture("log_b.bin")}, "logs.txt.out"},
      {{"-Q", "-D", fixture("scope.bin")}, "scope.out"},
      {{"-Q", "-D", fixture("scope.bin"), "-D", fixture("scope_config_only.bin")}, "scope_two.out"},
  };
  for (const auto& c : printed) {
    Outcome r = run(c.args);
    EXPECT_EQ(r.status, 0) << c.golden << "\n" << r.out;
    EXPECT_EQ(r.out, golden(c.golden)) << c.golden;
  }

  // Written conversions.
  const std::string out = temp("out");
  struct Written {
    std::vector<std::string> args;
    const char* golden;
  } written[] = {
      {{"-Q", "-T", fixture("partable.xml"), "-V", fixture("defaults_1.xml"), "-V",
        fixture("defaults_2.xml"), "-O", out},
       "partable.par"},
      {{"-Q", "-T", fixture("partable.xml"), "-R", fixture("partable.par"), "-O", out},
       "partable_decoded.xml"},
      {{"-Q", "-J", fixture("objdict.xml"), "-K", out}, "objdict.bin"},
      {{"-Q", "-J", fixture("objdict.bin"), "-C", "-K", out}, "objdict.xml"},
  };
  for (const auto& c : written) {
    fs::remove(out);
    Outcome r = run(c.args);
    EXPECT_EQ(r.status, 0) << c.golden << "\n" << r.out;
    EXPECT_EQ(r.out, "Done!\n") << c.golden;
    EXPECT_TRUE(slurp(out) == golden(c.golden)) << c.golden;
  }
}

TEST_F(Datatool, BannerUnlessQuietAndDoneAlways) {
  const std::string out = temp("dict.bin");
  Outcome loud = run({"-J", fixture("objdict.xml"), "-K", out});
  EXPECT_EQ(loud.status, 0);
  EXPECT_EQ(loud.out, kBannerHead + "Done!\n");
  Outcome quiet = run({"--quiet", "--objdict", fixture("objdict.xml"), "--odoutput", out});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, "Done!\n");
}

TEST_F(Datatool, FirstValueIsTheOneUsed) {
  const std::string out = temp("out");
  Outcome r = run({"-Q", "-J", fixture("objdict.xml"), "-J", temp("never-read.xml"), "-K", out});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(slurp(out) == golden("objdict.bin"));
  r = run({"-Q", "-T", fixture("partable.xml"), "-T", temp("never-read.xml"), "-R",
           fixture("partable.par"), "-O", out});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(slurp(out), golden("partable_decoded.xml"));
}

TEST_F(Datatool, CodecFailuresPrintTheCodecsText) {
  const std::string out = temp("out");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-Q", "-L", fixture("log_b.bin"), "-L", fixture("log_bad.bin")}, "Read file error"},
      {{"-Q", "-D", fixture("scope_bad_api.bin")}, "Unsupported API level, upgrade this tool"},
      {{"-Q", "-T", fixture("partable.xml"), "-V", fixture("defaults_unknown.xml"), "-O", out},
       "Parameter Motor.Torque not found"},
      // Not XML at all: the parser's failure.
      {{"-Q", "-T", fixture("log_a.bin"), "-V", fixture("defaults_1.xml"), "-O", out},
       "Exception error"},
      {{"-Q", "-J", fixture("objdict_v2.bin"), "-C", "-K", out},
       "Object dictionary file version unsupported: 2"},
      {{"-Q", "-J", fixture("partable.xml"), "-K", out}, "Missing object dictionary root element"},
  };
  for (const auto& c : cases) {
    Outcome r = run(c.args);
    EXPECT_EQ(r.status, 255) << c.message;
    EXPECT_EQ(r.out, c.message + "\n");
    EXPECT_FALSE(fs::exists(out)) << c.message;
  }
  // A failing scope file stops the run after the documents already printed.
  Outcome r = run({"-Q", "-D", fixture("scope.bin"), "-D", fixture("scope_bad_api.bin"), "-D",
                   fixture("scope.bin")});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, golden("scope.out") + "Unsupported API level, upgrade this tool\n");
}

TEST_F(Datatool, UnwritableOutputFailsInsteadOfDone) {
  const std::string unwritable = temp("no/such/dir/out");
  const std::vector<std::vector<std::string>> cases = {
      {"-Q", "-J", fixture("objdict.xml"), "-K", unwritable},
      {"-Q", "-J", fixture("objdict.bin"), "-C", "-K", unwritable},
      {"-Q", "-T", fixture("partable.xml"), "-V", fixture("defaults_1.xml"), "-O", unwritable},
      {"-Q", "-T", fixture("partable.xml"), "-R", fixture("partable.par"), "-O", dir_},
  };
  for (const auto& args : cases) {
    Outcome r = run(args);
    EXPECT_EQ(r.status, 255) << args[2];
    EXPECT_EQ(r.out, "Cannot write file: " + args.back() + "\n") << args[2];
  }
}
