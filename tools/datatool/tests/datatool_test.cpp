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
  std::string err;
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

  // Standard output goes to `to` (a temporary file unless given).
  Outcome runTo(const std::vector<std::string>& args, std::string to = {}) {
    std::string command = quote(tool_);
    for (const auto& a : args) command += " " + quote(a);
    const std::string out = temp("stdout"), err = temp("stderr"), rc = temp("status");
    if (to.empty()) to = out;
    command += " >" + quote(to) + " 2>" + quote(err) + "; echo $? >" + quote(rc);
    std::system(command.c_str());
    Outcome r;
    r.status = std::atoi(slurp(rc).c_str());
    r.out = to == out ? slurp(out) : std::string();
    r.err = slurp(err);
    return r;
  }
  Outcome run(const std::vector<std::string>& args) {
    Outcome r = runTo(args);
    EXPECT_EQ(r.err, "") << "everything goes to standard output";
    return r;
  }
  std::string put(const char* name, const std::string& content) {
    const std::string path = temp(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
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

namespace {

std::string times(const std::string& piece, size_t count) {
  std::string s;
  s.reserve(piece.size() * count);
  for (size_t i = 0; i < count; ++i) s += piece;
  return s;
}

void le(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += char(value >> (8 * i));
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A definition of three variables for the number texts below.
const char kNumbersDefinition[] =
    "<zamoNs:zamoRoot><zamoNs:zamoXMLVersion>1.0</zamoNs:zamoXMLVersion>"
    "<zamoNs:projectIdentity><zamoNs:projectUUID>00112233445566778899aabbccddeeff"
    "</zamoNs:projectUUID><zamoNs:paramTableId>0f0e0d0c0b0a09080706050403020100"
    "</zamoNs:paramTableId></zamoNs:projectIdentity><zamoNs:definedVariables>"
    "<zamoNs:definedVariable><zamoNs:varName>Big</zamoNs:varName><zamoNs:varType>uint64_t"
    "</zamoNs:varType><zamoNs:remoteIndex>1</zamoNs:remoteIndex><zamoNs:zamoNote>"
    "<zamoNs:accessMode>Param</zamoNs:accessMode><zamoNs:defaultValue>0</zamoNs:defaultValue>"
    "</zamoNs:zamoNote></zamoNs:definedVariable>"
    "<zamoNs:definedVariable><zamoNs:varName>Gain</zamoNs:varName><zamoNs:varType>float"
    "</zamoNs:varType><zamoNs:remoteIndex>2</zamoNs:remoteIndex><zamoNs:zamoNote>"
    "<zamoNs:accessMode>Param</zamoNs:accessMode><zamoNs:defaultValue>0</zamoNs:defaultValue>"
    "</zamoNs:zamoNote></zamoNs:definedVariable>"
    "<zamoNs:definedVariable><zamoNs:varName>Mask</zamoNs:varName><zamoNs:varType>uint64_t"
    "</zamoNs:varType><zamoNs:remoteIndex>3</zamoNs:remoteIndex><zamoNs:zamoNote>"
    "<zamoNs:accessMode>Param</zamoNs:accessMode><zamoNs:defaultValue>0</zamoNs:defaultValue>"
    "</zamoNs:zamoNote></zamoNs:definedVariable>"
    "</zamoNs:definedVariables></zamoNs:zamoRoot>";

std::string numbersValues(const std::string& big, const std::string& gain,
                          const std::string& mask) {
  auto parameter = [](const char* name, const std::string& value) {
    return "<Parameter><Name>" + std::string(name) + "</Name><Value>" + value +
           "</Value></Parameter>";
  };
  return "<Table UUID=\"00112233445566778899aabbccddeeff\"><Parameters>" + parameter("Big", big) +
         parameter("Gain", gain) + parameter("Mask", mask) + "</Parameters></Table>";
}

}  // namespace

// Markup that hides a level from the nesting guard (a self-closing mark in a
// quoted value, a closing tag in a processing instruction) once overflowed
// the parser's stack; a megabyte of it is refused like any bad document.
TEST_F(Datatool, DeeplyNestedXmlIsRefusedWhateverHidesItsLevels) {
  const std::string values = put("values.xml", numbersValues("1", "1", "1"));
  const std::string definition = put("numbers.xml", kNumbersDefinition);
  const std::string out = temp("out");
  for (const char* level : {"<a x=\"/>\">", "<a y='></x>'>", "<a><?p </a>?>"}) {
    const std::string hostile = put("hostile.xml", times(level, 100000));
    const std::vector<std::vector<std::string>> cases = {
        {"-Q", "-T", hostile, "-V", values, "-O", out},
        {"-Q", "-T", definition, "-V", hostile, "-O", out},
        {"-Q", "-J", hostile, "-K", out},
    };
    for (const auto& args : cases) {
      Outcome r = run(args);
      EXPECT_EQ(r.status, 255) << level << " " << args[1];
      EXPECT_EQ(r.out, "Exception error\n") << level << " " << args[1];
    }
  }
}

// One entry of 64 KiB whose first snapshot has a 32 KiB unit pads every
// other snapshot line to it: as text, hundreds of megabytes from a log that
// fits in one entry. Refused like an allocation failure; its XML is small.
TEST_F(Datatool, ALogWhoseTextWouldBeOutOfAllProportionIsRefused) {
  auto logWith = [](size_t emptySnapshots, size_t unitBytes) {
    std::string body;
    le(body, 5000, 8);
    body += std::string(3, '\0');  // severity, name, description
    body += char(10);
    body += std::string(3, '\0');  // name, description, format
    body += std::string(unitBytes, 'U') + '\0' + "v" + '\0';
    for (size_t i = 0; i < emptySnapshots; ++i) body += char(10) + std::string(5, '\0');
    body += '\0';
    le(body, body.size() + 2, 2);
    std::string log;
    le(log, 1, 2);
    return log + body;
  };
  const std::string padded = put("padded.log", logWith(5400, 32768));
  Outcome text = run({"-Q", "-P", "-L", padded});
  EXPECT_EQ(text.status, 255);
  EXPECT_EQ(text.out, "Exception error\n");
  Outcome xml = run({"-Q", "-L", padded});
  EXPECT_EQ(xml.status, 0);
  EXPECT_EQ(occurrences(xml.out, "<Snapshot>"), 5401u);
  // The same shape at a sane size still renders, padding and all.
  Outcome small = run({"-Q", "-P", "-L", put("small.log", logWith(20, 100))});
  EXPECT_EQ(small.status, 0);
  EXPECT_EQ(occurrences(small.out, "\n    "), 21u);
  EXPECT_NE(small.out.find("\n     = v" + std::string(100, 'U') + " \n"), std::string::npos);
  EXPECT_NE(small.out.find("\n     = " + std::string(102, ' ') + "\n"), std::string::npos);
}

// Channels whose samples have no bytes sit beside those that carry data;
// every step stores one empty sample for each, so a few bytes of data can
// stand for a huge text: beyond all proportion it is refused.
TEST_F(Datatool, ScopeChannelsWithoutSampleBytesAndTheirBound) {
  auto capture = [](size_t emptyChannels, size_t steps) {
    std::string c;
    c += char(1);
    c += char(8);                  // one-byte words
    c += std::string(16, '\x5a');  // parameter set
    c += char(0);                  // filler
    le(c, 0x3f800000u, 4);         // capture time 1 s
    le(c, 0, 4);                   // pretrigger time
    le(c, 0, 2);                   // no triggers
    le(c, 1 + emptyChannels, 2);
    for (size_t j = 0; j <= emptyChannels; ++j) {
      le(c, j, 2);
      c += char(j == 0 ? 1 : 0);  // sample size
      c += char(1);               // divider
      le(c, 0x3a83126fu, 4);      // 0.001 s
    }
    le(c, 0x80000000u, 4);  // no trigger expected
    le(c, 8 + steps, 2);
    le(c, 0, 2);
    le(c, 0x3a83126fu, 4);  // time step 0.001 s
    for (size_t i = 0; i < steps; ++i) c += char(0x40 + i % 16);
    return c;
  };
  Outcome mixed = run({"-Q", "-D", put("mixed.bin", capture(2, 3))});
  EXPECT_EQ(mixed.status, 0) << mixed.out;
  EXPECT_NE(mixed.out.find("<Channel idx=\"0\"><Sample time=\"0\">40</Sample>"
                           "<Sample time=\"0.001\">41</Sample>"
                           "<Sample time=\"0.002\">42</Sample></Channel>"
                           "<Channel idx=\"1\"><Sample time=\"0\"></Sample>"
                           "<Sample time=\"0.001\"></Sample><Sample time=\"0.002\"></Sample>"
                           "</Channel>"),
            std::string::npos)
      << mixed.out;
  EXPECT_EQ(occurrences(mixed.out, "<Sample "), 9u);
  // Only channels that all have no bytes never get through a block.
  Outcome none = run({"-Q", "-D", put("none.bin", capture(2, 3).replace(33, 1, 1, '\0'))});
  EXPECT_EQ(none.status, 255);
  EXPECT_EQ(none.out, "Invalid data size\n");
  Outcome huge = run({"-Q", "-D", put("huge.bin", capture(4000, 1000))});
  EXPECT_EQ(huge.status, 255);
  EXPECT_EQ(huge.out, "Invalid data size\n");
}

// Results written to standard output count: one that cannot take them
// fails the run, with the reason on standard error.
TEST_F(Datatool, AStandardOutputThatLosesTheResultFailsTheRun) {
  const std::vector<std::vector<std::string>> cases = {
      {"-Q", "-L", fixture("log_a.bin")},
      {"-Q", "-P", "-L", fixture("log_a.bin")},
      {"-Q", "-D", fixture("scope.bin")},
      {"-J", fixture("objdict.xml"), "-K", temp("out")},
  };
  for (const auto& args : cases) {
    Outcome r = runTo(args, "/dev/full");
    EXPECT_EQ(r.status, 255) << args[1];
    EXPECT_EQ(r.err, "Cannot write standard output\n") << args[1];
  }
}

// Number texts: a float too small to hold is 0, never infinity, whatever
// its exponent; a uint64 reads a negative text as signed 64-bit and keeps a
// value above the signed range as itself.
TEST_F(Datatool, ParameterNumberTextsAtTheirLimits) {
  const std::string definition = put("numbers.xml", kNumbersDefinition);
  const std::string par = temp("numbers.par"), back = temp("back.xml");
  const struct {
    const char* big;
    std::string gain;
    const char* mask;
    const char* bigBack;
    const char* gainBack;
    const char* maskBack;
  } cases[] = {
      {"18446744073709551615", "0." + std::string(50, '0') + "1", "-1", "18446744073709551615", "0",
       "18446744073709551615"},
      {"9223372036854775808", "0." + std::string(60, '0') + "1e5", "-9223372036854775808",
       "9223372036854775808", "0", "9223372036854775808"},
      {"1", "-" + std::string(50, '1') + "e-5", "2", "1", "-inf", "2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gain);
    Outcome built = run({"-Q", "-T", definition, "-V",
                         put("values.xml", numbersValues(c.big, c.gain, c.mask)), "-O", par});
    ASSERT_EQ(built.status, 0) << built.out;
    Outcome read = run({"-Q", "-T", definition, "-R", par, "-O", back});
    ASSERT_EQ(read.status, 0) << read.out;
    const std::string xml = slurp(back);
    EXPECT_NE(xml.find("<Name>Big</Name>\n      <Value>" + std::string(c.bigBack) + "</Value>"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("<Name>Gain</Name>\n      <Value>" + std::string(c.gainBack) + "</Value>"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("<Name>Mask</Name>\n      <Value>" + std::string(c.maskBack) + "</Value>"),
              std::string::npos)
        << xml;
  }
  // What no 64-bit reading holds is still refused.
  for (const char* mask : {"-9223372036854775809", "18446744073709551616"}) {
    Outcome r = run({"-Q", "-T", definition, "-V", put("values.xml", numbersValues("1", "1", mask)),
                     "-O", par});
    EXPECT_EQ(r.status, 255) << mask;
    EXPECT_EQ(r.out, "Out of range in Mask\n") << mask;
  }
}
