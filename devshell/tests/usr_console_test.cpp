// The command framework: tokenizer, number and switch parsing, the argument
// count rule, the errors, and the exact help output.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "UsrConsole.h"

namespace {

using ::testing::ElementsAre;
using Tokens = std::vector<std::string>;

TEST(Tokenizer, SplitsAndQuotesAsScriptsExpect) {
  const struct {
    const char* line;
    Tokens tokens;
  } cases[] = {
      {"", {}},
      {"   \r\n", {}},
      {"getname", {"getname"}},
      {"  setname   abc  ", {"setname", "abc"}},
      {"a\tb c", {"a\tb", "c"}},  // tab is no separator
      {"a\rb\nc", {"a", "b", "c"}},
      {"fileput root \"a b.bin\" c.bin", {"fileput", "root", "a b.bin", "c.bin"}},
      {"setname \"a b\"", {"setname", "a b"}},
      {"setname \"a b\"\r\n", {"setname", "a b"}},
      {"x \"\" y", {"x", "y"}},  // an empty quoted token is dropped
      {"x \"\"", {"x"}},
      {"ab\"cd e", {"ab\"cd", "e"}},  // a quote inside a token is a character
      {"ab\"", {"ab\""}},
      {"\"a\"\"b\"", {}},  // a closing quote followed by more: nothing
      {"x \"a b\"c", {}},
      {"x \"unterminated", {}},
      {"\"", {}},
      {"\"  \"", {"  "}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.tokens, tokenizeLine(c.line)) << "[" << c.line << "]";
}

TEST(NumberParsing, FollowsTheThirtyTwoBitRuntimeRules) {
  const struct {
    const char* text;
    bool ok;
    int32_t value;
  } signedCases[] = {
      {"12", true, 12},
      {"12abc", true, 12},
      {"  42", true, 42},
      {"\t7", true, 7},
      {"+5", true, 5},
      {"-1", true, -1},
      {"0", true, 0},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"99999999999999999999", false, 0},
      {"abc", false, 0},
      {"", false, 0},
      {"-", false, 0},
      {"+", false, 0},
      {" ", false, 0},
      {"0x10", true, 0},
  };
  for (const auto& c : signedCases) {
    int32_t value = 0;
    EXPECT_EQ(c.ok, parseSigned32(c.text, &value)) << c.text;
    if (c.ok) {
      EXPECT_EQ(c.value, value) << c.text;
    }
  }

  const struct {
    const char* text;
    bool ok;
    uint32_t value;
  } unsignedCases[] = {
      {"1000", true, 1000},     {"4294967295", true, 4294967295u},
      {"4294967296", false, 0}, {"-1", true, 4294967295u},
      {"-4294967295", true, 1}, {"-4294967296", false, 0},
      {"30000ms", true, 30000}, {"ms", false, 0},
      {"", false, 0},
  };
  for (const auto& c : unsignedCases) {
    uint32_t value = 0;
    EXPECT_EQ(c.ok, parseUnsigned32(c.text, &value)) << c.text;
    if (c.ok) {
      EXPECT_EQ(c.value, value) << c.text;
    }
  }
}

TEST(Fields, ParseIntoTheirTypesAndKeepTheirDefaults) {
  UsrConField<unsigned short> period(2000, "period", "duration [msec]");
  period.parse("70000");
  EXPECT_EQ(4464, period.value) << "stored truncated to 16 bits";
  period.parse("-1");
  EXPECT_EQ(65535, period.value);
  EXPECT_EQ("2000", period.defaultText());
  EXPECT_ANY_THROW(period.parse("abc"));

  UsrConField<unsigned int> timeout(1000, "timeout", "t");
  timeout.parse("4294967295");
  EXPECT_EQ(4294967295u, timeout.value);
  EXPECT_ANY_THROW(timeout.parse("4294967296"));

  UsrConField<SwIgnore> sw(SwIgnore{false}, "ignore", "i");
  EXPECT_EQ("/f", sw.defaultText());
  sw.parse("/I");
  EXPECT_TRUE(sw.value.ignore);
  sw.parse("/f");
  EXPECT_FALSE(sw.value.ignore);
  EXPECT_ANY_THROW(sw.parse("/x"));
  EXPECT_EQ("/i", UsrConField<SwIgnore>(SwIgnore{true}, "s", "h").defaultText());

  UsrConField<std::string> text("root", "stor", "storage selector");
  text.parse("Data \"x\"");
  EXPECT_EQ("Data \"x\"", text.value);
  auto copy = text.clone();
  auto* typed = dynamic_cast<UsrConField<std::string>*>(copy.get());
  ASSERT_NE(nullptr, typed);
  EXPECT_EQ("Data \"x\"", typed->value);
  EXPECT_EQ("root", typed->defaultValue);
  EXPECT_EQ("stor", typed->name);
}

// A console with commands shaped like the device groups'.
class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const UsrConField<unsigned short> period(2000, "period", "duration [msec]");
    console_.addCommand("ident", "visual identification", {&period}, record(), 1);
    const UsrConField<std::string> stor("", "stor", "storage selector");
    const UsrConField<std::string> src("", "srcfile", "source file name");
    const UsrConField<std::string> dst("", "dstfile", "destination file name");
    const UsrConField<unsigned short> attr(0, "attr", "attributes");
    console_.addCommand("fileput", "device storage file send to remote", {&stor, &src, &dst, &attr},
                        record(), 1);
    const UsrConField<std::string> file("", "file", "file name to be erased");
    const UsrConField<SwIgnore> ignore(SwIgnore{false}, "ignore",
                                       "/i ignore if file doesn't exists, /f force deletion");
    console_.addCommand("filerm", "device storage file deletion", {&stor, &file, &ignore}, record(),
                        1);
    const UsrConField<std::string> a("", "a", "first"), b("", "b", "second"), c("", "c", "third");
    console_.addCommand("x", "three fields", {&a, &b, &c}, record(), 2);
    console_.addCommand("Zeta", "upper-case name", {}, record());
    console_.addCommand("getname", "get device friendly name", {}, record());
    const UsrConField<std::string> none("", "n", "n");
    console_.addCommand("capped", "optional count above the fields", {&none}, record(), 5);
  }

  UsrConCallback record() {
    return [this](const UsrConInvocation& invocation, std::ostream& out) {
      last_ = invocation;
      out << "ran " << invocation->name << "\n";
    };
  }

  // Runs a line; the thrown text, or "" when none.
  std::string error(const std::string& line) {
    std::ostringstream out;
    try {
      console_.execute(line, out);
    } catch (const std::string& text) {
      return text;
    }
    return "";
  }

  std::string output(const std::string& line) {
    std::ostringstream out;
    EXPECT_TRUE(console_.execute(line, out)) << line;
    return out.str();
  }

  UsrConsole console_;
  UsrConInvocation last_;
};

TEST_F(ConsoleTest, CommandNamesAreCaseInsensitiveArgumentsAreNot) {
  EXPECT_EQ("ran getname\n", output("GETNAME"));
  EXPECT_EQ("getname", last_->name);
  EXPECT_EQ("ran fileput\n", output("FilePut Root \"A b.bin\" C.BIN"));
  EXPECT_EQ("Root", last_->arg<std::string>(0));
  EXPECT_EQ("A b.bin", last_->arg<std::string>(1));
  EXPECT_EQ("C.BIN", last_->arg<std::string>(2));
  EXPECT_EQ(0, last_->arg<unsigned short>(3)) << "an optional field left out keeps its default";
  EXPECT_EQ("command unknown", error("Zeta")) << "a name registered with capitals is never found";

  std::ostringstream out;
  EXPECT_FALSE(console_.execute("Quit", out));
  EXPECT_FALSE(console_.execute("QUIT\r\n", out));
  EXPECT_EQ("", out.str());
  EXPECT_TRUE(console_.execute("HELP", out));
}

TEST_F(ConsoleTest, ArgumentCountFollowsTheOptionalTail) {
  const struct {
    const char* line;
    const char* error;
  } cases[] = {
      {"ident", ""},
      {"ident 500", ""},
      {"ident 500 600", "invalid number of arguments"},
      {"x", "invalid number of arguments"},
      {"x a", ""},
      {"x a b c", ""},
      {"x a b c d", "invalid number of arguments"},
      {"quit now", "invalid number of arguments"},
      {"help a b", "invalid number of arguments"},
      {"capped", ""},  // the optional count is cut to the field count
      {"capped 1 2", "invalid number of arguments"},
      {"nosuch", "command unknown"},
      {"nosuch \"unterminated", ""},  // a broken quote: the line does nothing
      {"ident abc", "invalid data argument: abc"},
      {"ident 12abc", ""},
      {"filerm root x /I", ""},
      {"filerm root x /x", "invalid data argument: /x"},
      {"fileput r s d -", "invalid data argument: -"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error, error(c.line)) << c.line;
}

TEST_F(ConsoleTest, FieldsGetTheirParsedValues) {
  output("ident");
  EXPECT_EQ(2000, last_->arg<unsigned short>(0));
  output("ident 500");
  EXPECT_EQ(500, last_->arg<unsigned short>(0));
  output("ident 12abc");
  EXPECT_EQ(12, last_->arg<unsigned short>(0));
  output("ident 70000");
  EXPECT_EQ(4464, last_->arg<unsigned short>(0));
  output("filerm root x /I");
  EXPECT_TRUE(last_->arg<SwIgnore>(2).ignore);
  output("filerm root x");
  EXPECT_FALSE(last_->arg<SwIgnore>(2).ignore);

  // A failed parse leaves nothing behind: the next line starts from defaults.
  EXPECT_EQ("invalid data argument: zz", error("fileput a b c zz"));
  output("fileput a b c");
  EXPECT_EQ(0, last_->arg<unsigned short>(3));
}

TEST_F(ConsoleTest, UsageLinesBracketTheOptionalFields) {
  EXPECT_EQ("help [topic]", console_.usage("help"));
  EXPECT_EQ("quit", console_.usage("quit"));
  EXPECT_EQ("fileput stor srcfile dstfile [attr]", console_.usage("fileput"));
  EXPECT_EQ("x a [b [c]]", console_.usage("x"));
  EXPECT_EQ("ident [period]", console_.usage("ident"));
}

TEST_F(ConsoleTest, HelpListsBuiltInsFirstThenEveryCommandByName) {
  EXPECT_EQ(
      "Usage:\n"
      "  help [topic]\n"
      "  quit\n"
      "  Zeta\n"  // byte-wise order puts capitals first
      "  capped [n]\n"
      "  fileput stor srcfile dstfile [attr]\n"
      "  filerm stor file [ignore]\n"
      "  getname\n"
      "  ident [period]\n"
      "  x a [b [c]]\n",
      output("help"));
}

TEST_F(ConsoleTest, HelpOnATopicDescribesEachField) {
  EXPECT_EQ(
      "usage: help [topic]: usage detail\n"
      "  topic: get detailed help on topic ()\n",
      output("help help"));
  EXPECT_EQ("usage: quit: terminate current session\n", output("help quit"));
  EXPECT_EQ(
      "usage: filerm stor file [ignore]: device storage file deletion\n"
      "  stor: storage selector\n"
      "  file: file name to be erased\n"
      "  ignore: /i ignore if file doesn't exists, /f force deletion (/f)\n",
      output("help filerm"));
  EXPECT_EQ(
      "usage: ident [period]: visual identification\n"
      "  period: duration [msec] (2000)\n",
      output("help ident"));
  EXPECT_EQ("unrecognized topic", error("help QUIT")) << "topics are matched as typed";
  EXPECT_EQ("unrecognized topic", error("help nosuch"));
}

TEST_F(ConsoleTest, CallbackErrorsComeOutAsThrownText) {
  console_.addCommand("fails", "always fails", {},
                      [](const UsrConInvocation& invocation, std::ostream& out) {
                        out << "partial output";
                        throw "Error while executing " + invocation->name;
                      });
  EXPECT_EQ("Error while executing fails", error("FAILS"));
}

}  // namespace
