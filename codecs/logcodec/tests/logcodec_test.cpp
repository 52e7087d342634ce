#include "logcodec/logcodec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace logtest;

namespace {

struct HandleDeleter {
  void operator()(LogViewerHandle* h) const { LogViewerDestroyHandle(h); }
};
using Handle = std::unique_ptr<LogViewerHandle, HandleDeleter>;

Handle newHandle() { return Handle(LogViewerCreateHandle()); }

bool add(const Handle& h, const std::string& bytes) {
  // An exact-size heap copy, so a read past the end is caught.
  std::unique_ptr<char[]> copy(new char[bytes.size() ? bytes.size() : 1]);
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  return LogViewerDecodeAndAdd(h.get(), copy.get(), unsigned(bytes.size()));
}

std::string plainText(const Handle& h) {
  char* text = nullptr;
  EXPECT_TRUE(LogViewerGetPlainText(h.get(), &text));
  std::string s = text ? text : "";
  std::free(text);
  return s;
}

std::string eventsXml(const Handle& h) {
  char* xml = nullptr;
  EXPECT_TRUE(LogViewerGetXML(h.get(), &xml));
  std::string s = xml ? xml : "";
  std::free(xml);
  return s;
}

const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" standalone=\"yes\"?>";

// Stream bytes written out by hand from the layout, for single-entry cases.
struct StreamBuilder {
  std::string bytes;
  void u8(uint8_t v) { bytes += char(v); }
  void u16(uint16_t v) { u8(uint8_t(v)), u8(uint8_t(v >> 8)); }
  void u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) u8(uint8_t(v >> (8 * i)));
  }
  void text(const std::string& s) { bytes += s, bytes += '\0'; }
  // One version 1 entry with one snapshot whose value bytes are given.
  void event(uint64_t ts, uint8_t type, const std::string& format, const std::string& value) {
    u16(1);
    size_t body = bytes.size();
    u64(ts);
    text("Info"), text("Ev"), text("one snapshot");
    u8(type);
    text("v"), text("value"), text(format), text("");
    bytes += value;
    u8(0);
    u16(uint16_t(bytes.size() - body + 2));
  }
};

// Every fixture stream decodes to exactly its expected renderings.
void checkRenderingFixtures() {
  struct Scenario {
    const char* name;
    std::vector<const char*> images;
  } scenarios[] = {
      {"basic", {"basic.bin"}},
      {"escaping", {"escaping.bin"}},
      {"merge", {"merge_1.bin", "merge_2.bin"}},
      {"align", {"align.bin"}},
      {"saturate", {"saturate.bin"}},
  };
  for (const auto& s : scenarios) {
    SCOPED_TRACE(s.name);
    Handle h = newHandle();
    for (const char* image : s.images)
      ASSERT_TRUE(add(h, readFixture(image))) << LogViewerGetLastError(h.get());
    EXPECT_EQ(plainText(h), readFixture(std::string(s.name) + ".txt"));
    std::string xml = eventsXml(h);
    EXPECT_EQ(xml, readFixture(std::string(s.name) + ".xml"));
    EXPECT_TRUE(xmlParses(xml));
  }
}

// The device's format text against the table computed with the C library's
// printf: accepted formats print like it, anything else prints the default.
void checkFormatTable() {
  auto rows = readTable("format_cases.tsv");
  ASSERT_GT(rows.size(), 1000u);
  int checked = 0;
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 5u);
    uint8_t type = uint8_t(std::stoi(row[0]));
    std::string value;
    for (size_t i = 0; i + 1 < row[1].size(); i += 2)
      value += char(std::stoi(row[1].substr(i, 2), nullptr, 16));
    const std::string& format = row[2];
    SCOPED_TRACE("type " + row[0] + " value " + row[1] + " format [" + format + "]");

    Handle h = newHandle();
    StreamBuilder b;
    b.event(1, type, format, value);
    ASSERT_TRUE(add(h, b.bytes)) << LogViewerGetLastError(h.get());
    std::string xml = eventsXml(h);
    ParsedXml parsed;
    parseXml(xml, parsed);
    ASSERT_TRUE(parsed.ok) << parsed.error << "\n" << xml;
    auto* snapshot = parsed.doc.first_node("Events")
                         ->first_node("Event")
                         ->first_node("Snapshots")
                         ->first_node("Snapshot");
    ASSERT_NE(snapshot, nullptr);
    auto* valueNode = snapshot->first_node("Value");
    EXPECT_EQ(std::string(valueNode->value(), valueNode->value_size()), row[3]);
    EXPECT_EQ(std::string(snapshot->first_node("RawValue")->value()), row[4]);
    auto* formatAttr = valueNode->first_attribute("format");
    ASSERT_EQ(formatAttr != nullptr, !format.empty());
    if (formatAttr) {
      EXPECT_EQ(std::string(formatAttr->value(), formatAttr->value_size()), format);
    }

    // The text rendering shows the same value text.
    std::string text = plainText(h);
    EXPECT_NE(text.find(" = " + row[3] + " value\n"), std::string::npos) << text;
    ++checked;
  }
  EXPECT_EQ(checked, int(rows.size()));
}

}  // namespace

TEST(LogCodec, FixtureStreamsRenderAsExpected) { checkRenderingFixtures(); }

TEST(LogCodec, RenderingIgnoresADecimalCommaLocale) {
  DecimalCommaLocale locale;
  if (!locale.active()) GTEST_SKIP() << "no decimal-comma locale installed";
  checkRenderingFixtures();
  checkFormatTable();
}

TEST(LogCodec, ImagesAddedInTurnMergeByTime) {
  Handle h = newHandle();
  ASSERT_TRUE(add(h, readFixture("merge_2.bin")));
  ASSERT_TRUE(add(h, readFixture("merge_1.bin")));
  // Same keys either way round; only equal keys (3000) may come out in another order.
  std::string text = plainText(h);
  size_t b1 = text.find("B1"), a1 = text.find("A1"), a3 = text.find("A3"), b3 = text.find("B3");
  ASSERT_NE(b1, std::string::npos);
  EXPECT_LT(a1, b1);
  EXPECT_LT(a3, b3);
  EXPECT_LT(b1, a3);
}

TEST(LogCodec, EmptyHandleAndEmptyImage) {
  Handle h = newHandle();
  EXPECT_EQ(plainText(h), "");
  EXPECT_EQ(eventsXml(h), std::string(kDeclaration) + "<Events></Events>\n");
  EXPECT_TRUE(LogViewerDecodeAndAdd(h.get(), nullptr, 0));
  EXPECT_TRUE(add(h, ""));
  EXPECT_EQ(plainText(h), "");
  EXPECT_STREQ(LogViewerGetLastError(h.get()), "");
}

TEST(LogCodec, FailuresReportTheirMessageAndKeepEarlierEntries) {
  auto rows = readTable("errors.tsv");
  ASSERT_GE(rows.size(), 10u);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 3u);
    SCOPED_TRACE(row[0]);
    Handle h = newHandle();
    EXPECT_FALSE(add(h, readFixture(row[0])));
    EXPECT_EQ(LogViewerGetLastError(h.get()), row[1]);
    EXPECT_EQ(plainText(h), row[2]);
    EXPECT_TRUE(xmlParses(eventsXml(h)));
  }
}

TEST(LogCodec, LastErrorOutlivesSuccessAndLaterImagesSortEverything) {
  Handle h = newHandle();
  StreamBuilder late;
  late.event(9000, 5, "", std::string(4, '\0'));
  ASSERT_TRUE(add(h, late.bytes));

  // Fails after one entry: that entry stays, behind the later one.
  StreamBuilder failing;
  failing.event(5000, 5, "", std::string(4, '\0'));
  failing.u8(1);
  EXPECT_FALSE(add(h, failing.bytes));
  EXPECT_STREQ(LogViewerGetLastError(h.get()), "Read file error");

  StreamBuilder early;
  early.event(1000, 5, "", std::string(4, '\0'));
  ASSERT_TRUE(add(h, early.bytes));
  EXPECT_STREQ(LogViewerGetLastError(h.get()), "Read file error");

  char* xml = nullptr;
  ASSERT_TRUE(LogViewerGetXML(h.get(), &xml));
  std::string s(xml);
  std::free(xml);
  size_t t1 = s.find(">1000<"), t5 = s.find(">5000<"), t9 = s.find(">9000<");
  ASSERT_NE(t1, std::string::npos);
  ASSERT_NE(t5, std::string::npos);
  ASSERT_NE(t9, std::string::npos);
  EXPECT_LT(t1, t5);
  EXPECT_LT(t5, t9);
}

TEST(LogCodec, CallerMisuseIsRefused) {
  LogViewerDestroyHandle(nullptr);
  EXPECT_STREQ(LogViewerGetLastError(nullptr), "");
  char* out = nullptr;
  EXPECT_FALSE(LogViewerGetXML(nullptr, &out));
  EXPECT_FALSE(LogViewerGetPlainText(nullptr, &out));
  EXPECT_FALSE(LogViewerDecodeAndAdd(nullptr, "", 0));
  Handle h = newHandle();
  EXPECT_FALSE(LogViewerDecodeAndAdd(h.get(), nullptr, 4));
  EXPECT_FALSE(LogViewerGetXML(h.get(), nullptr));
  EXPECT_EQ(out, nullptr);
}

TEST(LogCodec, SnapshotFormatRules) { checkFormatTable(); }

// Far more entries than the fixtures: two interleaved images of events whose
// printed values and texts vary, each read back from the XML and the text.
TEST(LogCodec, LargeLogsRenderEveryEntry) {
  constexpr int kPerImage = 6000;
  auto valueText = [](int n) {
    return "<" + std::to_string(n) + "> & '" + std::string(size_t(n % 40), 'x') + "\"";
  };
  StreamBuilder images[2];
  for (int n = 0; n < 2 * kPerImage; ++n) {
    StreamBuilder& b = images[n % 2];
    b.u16(1);
    size_t body = b.bytes.size();
    b.u64(uint64_t(1000 + 10 * n));
    b.text("Info"), b.text("Ev" + std::to_string(n)), b.text("number " + std::to_string(n));
    b.u8(5), b.text("padded"), b.text(""), b.text("%08d units of a long format text"), b.text("u");
    for (int i = 0; i < 4; ++i) b.u8(uint8_t(uint32_t(n) >> (8 * i)));
    b.u8(10), b.text("text"), b.text(""), b.text(""), b.text(""), b.text(valueText(n));
    b.u8(0);
    b.u16(uint16_t(b.bytes.size() - body + 2));
    if (n % 7 == 0)
      b.u16(2), b.u64(uint64_t(1000 + 10 * n + 1)), b.u16(10);  // marks render nothing
  }
  Handle h = newHandle();
  ASSERT_TRUE(add(h, images[1].bytes)) << LogViewerGetLastError(h.get());
  ASSERT_TRUE(add(h, images[0].bytes)) << LogViewerGetLastError(h.get());

  std::string xml = eventsXml(h);
  ASSERT_EQ(xml.back(), '\n');
  ParsedXml parsed;
  parseXml(xml, parsed);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  int n = 0;
  for (auto* event = parsed.doc.first_node("Events")->first_node("Event"); event;
       event = event->next_sibling(), ++n) {
    SCOPED_TRACE(n);
    ASSERT_LT(n, 2 * kPerImage);
    EXPECT_EQ(std::string(event->first_node("Name")->value()), "Ev" + std::to_string(n));
    EXPECT_EQ(std::string(event->first_node("Timestamp")->value()), std::to_string(1000 + 10 * n));
    auto* padded = event->first_node("Snapshots")->first_node("Snapshot");
    char expected[64];
    std::snprintf(expected, sizeof expected, "%08d units of a long format text", n);
    EXPECT_EQ(std::string(padded->first_node("Value")->value()), expected);
    EXPECT_EQ(std::string(padded->first_node("RawValue")->value()), std::to_string(n));
    auto* text = padded->next_sibling("Snapshot");
    EXPECT_EQ(std::string(text->first_node("Value")->value()), valueText(n));
    EXPECT_EQ(std::string(text->first_node("RawValue")->value()), valueText(n));
  }
  EXPECT_EQ(n, 2 * kPerImage);

  // One header and two snapshot lines per event, in time order.
  std::string plain = plainText(h);
  std::istringstream lines(plain);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    if (count % 3 == 0) {
      EXPECT_NE(line.find(" Ev" + std::to_string(count / 3) + "(Info): "), std::string::npos)
          << line;
    }
    ++count;
  }
  EXPECT_EQ(count, 3 * 2 * kPerImage);
}

// A result large enough for huge pages comes out byte for byte as it does
// page by page (VLN_CODEC_PREFAULT=0), in both renderings.
TEST(LogCodec, LargeResultsAreTheSameWithAndWithoutHugePages) {
  constexpr int kEvents = 110000;
  StreamBuilder b;
  for (int n = 0; n < kEvents; ++n) {
    b.u16(1);
    size_t body = b.bytes.size();
    // Every 50th goes back in time: it is moved just after its predecessor.
    b.u64(uint64_t(n % 50 == 49 ? 10 : 5000 + 7 * n));
    b.text(n % 3 ? "Info" : "Warn<ing>"), b.text("Event" + std::to_string(n % 97));
    b.text("controller status & health");
    b.u8(9), b.text("supply"), b.text("volts"), b.text("%.3f"), b.text("V");
    const float supply = 11.5f + float(n % 100) / 64.0f;
    char raw[4];
    std::memcpy(raw, &supply, 4);
    b.bytes.append(raw, 4);
    b.u8(3), b.text("delta"), b.text(""), b.text(""), b.text("");
    b.u8(uint8_t(n)), b.u8(uint8_t(n >> 8));
    b.u8(0);
    b.u16(uint16_t(b.bytes.size() - body + 2));
    if (n % 10 == 0) b.u16(2), b.u64(uint64_t(5000 + 7 * n + 3)), b.u16(10);
  }
  std::string xml[2], plain[2];
  for (int round = 0; round < 2; ++round) {
    if (round == 0)
      setenv("VLN_CODEC_PREFAULT", "0", 1);
    else
      unsetenv("VLN_CODEC_PREFAULT");
    Handle h = newHandle();
    ASSERT_TRUE(add(h, b.bytes)) << LogViewerGetLastError(h.get());
    xml[round] = eventsXml(h);
    plain[round] = plainText(h);
  }
  unsetenv("VLN_CODEC_PREFAULT");
  ASSERT_GT(xml[1].size(), size_t(32) << 20);
  EXPECT_TRUE(xml[0] == xml[1]);
  EXPECT_TRUE(plain[0] == plain[1]);
  size_t events = 0;
  for (size_t at = xml[1].find("<Event>"); at != std::string::npos;
       at = xml[1].find("<Event>", at + 1))
    ++events;
  EXPECT_EQ(events, size_t(kEvents));
}
