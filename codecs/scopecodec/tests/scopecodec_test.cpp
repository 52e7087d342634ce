#include "scopecodec/scopecodec.h"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <locale>
#include <memory>
#include <rapidxml/rapidxml.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string readFixture(const std::string& name) {
  std::ifstream in(std::string(SCOPECODEC_FIXTURES) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << "missing fixture " << name;
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Case {
  std::string name;
  int code;
};

std::vector<Case> readCases() {
  std::vector<Case> cases;
  std::istringstream in(readFixture("cases.tsv"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t tab = line.find('\t');
    cases.push_back({line.substr(0, tab), std::stoi(line.substr(tab + 1))});
  }
  return cases;
}

// Decodes an exact-size heap copy; `xml` stays "untouched" unless set.
int decode(const std::string& bytes, std::string& xml) {
  std::unique_ptr<char[]> copy(new char[bytes.size() ? bytes.size() : 1]);
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  char sentinel = 0;
  char* out = &sentinel;
  int rc = DigScopeDecode(copy.get(), unsigned(bytes.size()), &out);
  if (out == &sentinel) {
    xml = "untouched";
  } else {
    xml = out ? out : "(null)";
    std::free(out);
  }
  return rc;
}

::testing::AssertionResult xmlParses(const std::string& xml) {
  std::vector<char> text(xml.begin(), xml.end());
  text.push_back('\0');
  try {
    rapidxml::xml_document<> doc;
    doc.parse<0>(text.data());
    if (!doc.first_node("DigitalScope"))
      return ::testing::AssertionFailure() << "no DigitalScope root";
  } catch (const rapidxml::parse_error& e) {
    return ::testing::AssertionFailure() << e.what();
  }
  return ::testing::AssertionSuccess();
}

void checkAllCases() {
  auto cases = readCases();
  ASSERT_GT(cases.size(), 40u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string xml;
    int rc = decode(readFixture(c.name + ".bin"), xml);
    ASSERT_EQ(rc, c.code) << DigScopeDecTranslateError(rc);
    if (c.code == 0) {
      EXPECT_EQ(xml, readFixture(c.name + ".xml"));
      EXPECT_TRUE(xmlParses(xml));
    } else {
      EXPECT_EQ(xml, "untouched");
    }
  }
}

// Switches the C and C++ global locales to one with a decimal comma for the
// scope's lifetime, when the system has one.
class DecimalCommaLocale {
 public:
  DecimalCommaLocale() {
    previous_ = std::setlocale(LC_ALL, nullptr);
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8",
                             "it_IT.UTF-8", "nl_NL.UTF-8", "ru_RU.UTF-8"}) {
      if (!std::setlocale(LC_ALL, name)) continue;
      if (std::string(std::localeconv()->decimal_point) != ",") continue;
      try {
        previousGlobal_ = std::locale::global(std::locale(name));
      } catch (const std::exception&) {
      }
      active_ = true;
      return;
    }
    std::setlocale(LC_ALL, previous_.c_str());
  }
  ~DecimalCommaLocale() {
    if (!active_) return;
    std::setlocale(LC_ALL, previous_.c_str());
    std::locale::global(previousGlobal_);
  }
  bool active() const { return active_; }

 private:
  std::string previous_;
  std::locale previousGlobal_;
  bool active_ = false;
};

}  // namespace

// Word widths, dividers, trigger positions and every result code, against
// the results worked out from the capture layout.
TEST(ScopeCodec, CapturesDecodeAsExpected) { checkAllCases(); }

TEST(ScopeCodec, TimesIgnoreADecimalCommaLocale) {
  DecimalCommaLocale locale;
  if (!locale.active()) GTEST_SKIP() << "no decimal-comma locale installed";
  checkAllCases();
}

TEST(ScopeCodec, EveryResultCodeIsCovered) {
  std::vector<bool> seen(6);
  for (const Case& c : readCases()) seen.at(size_t(c.code)) = true;
  for (int code = 0; code < 6; ++code) EXPECT_TRUE(seen[size_t(code)]) << code;
}

TEST(ScopeCodec, TranslateError) {
  const char* texts[] = {"Successful",
                         "Unsupported API level, upgrade this tool",
                         "Unexpected end of file, data missing",
                         "Invalid data size",
                         "Invalid data header",
                         "Trigger point not found"};
  for (int code = 0; code < 6; ++code) EXPECT_STREQ(DigScopeDecTranslateError(code), texts[code]);
  EXPECT_EQ(DigScopeDecTranslateError(6), nullptr);
  EXPECT_EQ(DigScopeDecTranslateError(-1), nullptr);
  EXPECT_EQ(DigScopeDecTranslateError(INT_MIN), nullptr);
  EXPECT_EQ(DigScopeDecTranslateError(1024), nullptr);
}

TEST(ScopeCodec, CallerMisuse) {
  char* out = nullptr;
  EXPECT_EQ(DigScopeDecode(nullptr, 0, &out), 2);
  EXPECT_EQ(DigScopeDecode(nullptr, 100, &out), 2);
  EXPECT_EQ(out, nullptr);
  // No output pointer: the result still tells.
  std::string config = readFixture("config_only.bin");
  EXPECT_EQ(DigScopeDecode(config.data(), unsigned(config.size()), nullptr), 0);
}

TEST(ScopeCodec, ConcurrentCallsAreIndependent) {
  auto cases = readCases();
  std::vector<std::string> inputs, expected;
  std::vector<int> codes;
  for (const Case& c : cases) {
    inputs.push_back(readFixture(c.name + ".bin"));
    expected.push_back(c.code == 0 ? readFixture(c.name + ".xml") : "untouched");
    codes.push_back(c.code);
  }
  std::vector<int> mismatches(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round)
        for (size_t i = 0; i < inputs.size(); ++i) {
          std::string xml;
          if (decode(inputs[i], xml) != codes[i] || xml != expected[i]) ++mismatches[size_t(t)];
        }
    });
  }
  for (auto& th : threads) th.join();
  for (int m : mismatches) EXPECT_EQ(m, 0);
}

// A capture of four 4-byte channels sampled at every step, in full blocks,
// whose XML is large enough for huge pages.
static std::string largeCapture(int blocks) {
  constexpr int kChannels = 4, kStepsPerBlock = 8000, kWordsPerStep = kChannels * 4 / 2;
  std::string out;
  auto put = [&](auto value) {
    char raw[sizeof value];
    std::memcpy(raw, &value, sizeof value);  // little-endian, as the capture
    out.append(raw, sizeof value);
  };
  out += char(1), out += char(16);
  for (int i = 0; i < 16; ++i) out += char(0xa0 + i);
  out += '\0';
  put(0.5f), put(0.1f), put(uint16_t(0)), put(uint16_t(kChannels));
  for (int c = 0; c < kChannels; ++c) {
    put(uint16_t(0x2000 + c));
    out += char(4), out += char(1);
    put(1e-5f);
  }
  put(uint32_t(0x80000000u));  // no trigger expected
  uint16_t sample = 0;
  for (int b = 0; b < blocks; ++b) {
    put(uint16_t(8 / 2 + kStepsPerBlock * kWordsPerStep)), put(uint16_t(0)), put(1e-5f);
    for (int w = 0; w < kStepsPerBlock * kWordsPerStep; ++w) put(sample += 37);
  }
  return out;
}

// Byte for byte as page by page (VLN_CODEC_PREFAULT=0).
TEST(ScopeCodec, LargeResultsAreTheSameWithAndWithoutHugePages) {
  const std::string capture = largeCapture(40);
  std::string xml[2];
  for (int round = 0; round < 2; ++round) {
    if (round == 0)
      setenv("VLN_CODEC_PREFAULT", "0", 1);
    else
      unsetenv("VLN_CODEC_PREFAULT");
    ASSERT_EQ(decode(capture, xml[round]), 0);
  }
  unsetenv("VLN_CODEC_PREFAULT");
  ASSERT_GT(xml[1].size(), size_t(32) << 20);
  EXPECT_TRUE(xml[0] == xml[1]);
  EXPECT_TRUE(xmlParses(xml[1]));
}
