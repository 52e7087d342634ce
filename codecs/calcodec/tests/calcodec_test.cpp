// The calibration codec's documents, conversions and failure texts.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <string>
#include <vector>

#include "CalcodecTestSupport.h"
#include "codeccommon/Crc32Variant.h"

using namespace caltest;

namespace {

const std::string kDefinitions =
    "<Records>"
    "<Record><Name>A</Name><Datatype>int8_t</Datatype></Record>"
    "<Record><Name>S</Name><Datatype>string</Datatype></Record>"
    "<Record><Name>F</Name><Datatype>float</Datatype><Default>1.5</Default></Record>"
    "</Records>";
const std::string kDataSet =
    "<Dataset>"
    "<Record index=\"3\"><Name>A</Name></Record>"
    "<Record index=\"0\"><Name>S</Name></Record>"
    "<Record index=\"0\"><Name>F</Name></Record>"
    "</Dataset>";

enum class Step { kDefinition, kDataSet, kDataValue, kWrite };

struct Call {
  Step step;
  std::string xml;
};

// Runs the calls in order; returns the first failure's text, or "" when all
// succeeded.
std::string runCalls(const std::vector<Call>& calls) {
  Handle h = makeHandle();
  for (const auto& c : calls) {
    bool ok = false;
    switch (c.step) {
      case Step::kDefinition:
        ok = addDefinition(h.get(), c.xml);
        break;
      case Step::kDataSet:
        ok = mergeDataSet(h.get(), c.xml);
        break;
      case Step::kDataValue:
        ok = mergeDataValue(h.get(), c.xml);
        break;
      case Step::kWrite: {
        void* data = nullptr;
        int length = 0;
        ok = CalcodecOutToStdRecord(h.get(), &data, &length);
        std::free(data);
        break;
      }
    }
    if (!ok) return CalcodecGetLastError(h.get());
  }
  return "";
}

std::vector<Call> withBase(std::vector<Call> tail) {
  std::vector<Call> calls{{Step::kDefinition, kDefinitions}, {Step::kDataSet, kDataSet}};
  calls.insert(calls.end(), tail.begin(), tail.end());
  return calls;
}

std::string valueDoc(const std::string& records) {
  return "<Datavalue>" + records + "</Datavalue>";
}
std::string valueRecord(const std::string& index, const std::string& name,
                        const std::string& value) {
  return "<Record index=\"" + index + "\"><Name>" + name + "</Name><Value>" + value +
         "</Value></Record>";
}

// One entry of `type` valued with `text`, written, read back, and shown as
// values XML; returns the Value text, or "error: " + the failure.
std::string throughRecord(const std::string& type, const std::string& text) {
  std::string definitions =
      "<Records><Record><Name>V</Name><Datatype>" + type + "</Datatype></Record></Records>";
  std::string dataSet = "<Dataset><Record index=\"1\"><Name>V</Name></Record></Dataset>";
  Handle writer = makeHandle();
  EXPECT_TRUE(addDefinition(writer.get(), definitions));
  EXPECT_TRUE(mergeDataSet(writer.get(), dataSet));
  if (!mergeDataValue(writer.get(), valueDoc(valueRecord("1", "V", text))))
    return std::string("error: ") + CalcodecGetLastError(writer.get());
  std::string record = writeRecord(writer.get());

  Handle reader = makeHandle();
  EXPECT_TRUE(addDefinition(reader.get(), definitions));
  EXPECT_TRUE(mergeDataSet(reader.get(), dataSet));
  EXPECT_TRUE(readRecord(reader.get(), record)) << CalcodecGetLastError(reader.get());
  std::string xml = valuesXml(reader.get());
  EXPECT_TRUE(parsesWithRoot(xml, "Datavalue"));

  // What is shown reads back to the same record.
  Handle again = makeHandle();
  EXPECT_TRUE(addDefinition(again.get(), definitions));
  EXPECT_TRUE(mergeDataSet(again.get(), dataSet));
  EXPECT_TRUE(mergeDataValue(again.get(), xml)) << CalcodecGetLastError(again.get());
  EXPECT_EQ(writeRecord(again.get()), record) << type << " " << text;

  size_t open = xml.find("<Value>"), close = xml.find("</Value>");
  if (open == std::string::npos || close == std::string::npos) return "no value in " + xml;
  return xml.substr(open + 7, close - open - 7);
}

}  // namespace

TEST(CalcodecDocuments, FailureTexts) {
  struct Case {
    const char* what;
    std::vector<Call> calls;
    const char* error;
  } cases[] = {
      // Definitions.
      {"definition version",
       {{Step::kDefinition, "<Records version=\"2.0\"/>"}},
       "Unsupported data definition structure"},
      {"definition without name",
       {{Step::kDefinition, "<Records><Record><Datatype>int8_t</Datatype></Record></Records>"}},
       "Missing Name"},
      {"definition without type",
       {{Step::kDefinition, "<Records><Record><Name>X</Name></Record></Records>"}},
       "Missing Datatype"},
      {"unknown type",
       {{Step::kDefinition,
         "<Records><Record><Name>X</Name><Datatype>double</Datatype></Record></Records>"}},
       "Invalid data type: double"},
      {"boolean spelling",
       {{Step::kDefinition,
         "<Records><Record><Name>X</Name><Datatype>int8_t</Datatype>"
         "<Mandatory>True</Mandatory></Record></Records>"}},
       "Invalid boolean field value: True"},
      {"default out of range",
       {{Step::kDefinition,
         "<Records><Record><Name>X</Name><Datatype>int8_t</Datatype>"
         "<Default>128</Default></Record></Records>"}},
       "Out of range in X"},
      {"defined twice in two documents",
       {{Step::kDefinition, kDefinitions},
        {Step::kDefinition,
         "<Records><Record><Name>A</Name><Datatype>uint8_t</Datatype></Record></Records>"}},
       "Entry already defined: A"},
      {"definition without root",
       {{Step::kDefinition, "<?xml version=\"1.0\"?>\n"}},
       "Missing root element: Records"},
      {"definition with another root",
       {{Step::kDefinition, "<Dataset/>"}},
       "Missing root element: Records"},
      {"definition syntax error", {{Step::kDefinition, "<Records><Record>"}}, "Exception error"},
      // Data set.
      {"data set version", withBase({{Step::kDataSet, "<Dataset version=\"1.1\"/>"}}),
       "Unsupported data set structure"},
      {"data set without name",
       withBase({{Step::kDataSet, "<Dataset><Record index=\"1\"/></Dataset>"}}), "Missing Name"},
      {"data set without index",
       withBase({{Step::kDataSet, "<Dataset><Record><Name>A</Name></Record></Dataset>"}}),
       "Missing index from data set: A"},
      {"data set index 64",
       withBase(
           {{Step::kDataSet, "<Dataset><Record index=\"64\"><Name>A</Name></Record></Dataset>"}}),
       "Invalid index of data set: A"},
      {"data set index -1",
       withBase(
           {{Step::kDataSet, "<Dataset><Record index=\"-1\"><Name>A</Name></Record></Dataset>"}}),
       "Invalid index of data set: A"},
      {"data set index overflowing",
       withBase(
           {{Step::kDataSet,
             "<Dataset><Record index=\"18446744073709551617\"><Name>A</Name></Record></Dataset>"}}),
       "Invalid index of data set: A"},
      {"data set of an undefined name",
       withBase(
           {{Step::kDataSet, "<Dataset><Record index=\"1\"><Name>Z</Name></Record></Dataset>"}}),
       "Data set not found: Z"},
      {"data set twice", withBase({{Step::kDataSet, kDataSet}}),
       "Data set already defined: A index 3"},
      {"data set boolean",
       withBase({{Step::kDataSet,
                  "<Dataset><Record "
                  "index=\"1\"><Name>A</Name><Mandatory>1</Mandatory></Record></Dataset>"}}),
       "Invalid boolean field value: 1"},
      {"data set default out of range",
       withBase({{Step::kDataSet,
                  "<Dataset><Record "
                  "index=\"1\"><Name>A</Name><Default>-129</Default></Record></Dataset>"}}),
       "Out of range in A"},
      {"data set without root", withBase({{Step::kDataSet, ""}}), "Missing root element: Dataset"},
      // Data values.
      {"data value version", withBase({{Step::kDataValue, "<Datavalue version=\"\"/>"}}),
       "Unsupported data value structure"},
      {"data value without name",
       withBase({{Step::kDataValue, "<Datavalue><Record index=\"3\"/></Datavalue>"}}),
       "Missing Name"},
      {"data value without index",
       withBase({{Step::kDataValue,
                  "<Datavalue><Record><Name>A</Name><Value>1</Value></Record></Datavalue>"}}),
       "Missing index from data set: A"},
      {"data value index 64", withBase({{Step::kDataValue, valueDoc(valueRecord("64", "A", "1"))}}),
       "Invalid index of data set: A"},
      {"data value for an index not in the set",
       withBase({{Step::kDataValue, valueDoc(valueRecord("4", "A", "1"))}}),
       "Data set not found: A index 4"},
      {"valued twice in one document",
       withBase(
           {{Step::kDataValue, valueDoc(valueRecord("3", "A", "1") + valueRecord("3", "A", "2"))}}),
       "Entry already valued: A index 3"},
      {"valued twice in two documents",
       withBase({{Step::kDataValue, valueDoc(valueRecord("3", "A", "1"))},
                 {Step::kDataValue, valueDoc(valueRecord("3", "A", "1"))}}),
       "Entry already valued: A index 3"},
      {"data value without value",
       withBase({{Step::kDataValue,
                  "<Datavalue><Record index=\"3\"><Name>A</Name></Record></Datavalue>"}}),
       "Invalid datavalue entry: A index 3"},
      {"data value out of range",
       withBase({{Step::kDataValue, valueDoc(valueRecord("3", "A", "200"))}}), "Out of range in A"},
      {"data value without root", withBase({{Step::kDataValue, "<Record/>"}}),
       "Missing root element: Datavalue"},
      // Writing.
      {"entry without value", withBase({{Step::kWrite, ""}}), "Missing value: A"},
      {"string too long",
       withBase({{Step::kDataValue, valueDoc(valueRecord("3", "A", "1") +
                                             valueRecord("0", "S", std::string(65536, 'x')))},
                 {Step::kWrite, ""}}),
       "Data overflow: S"},
  };
  for (const auto& c : cases) EXPECT_EQ(runCalls(c.calls), c.error) << c.what;
}

TEST(CalcodecDocuments, OptionalPartsAreAccepted) {
  EXPECT_EQ(runCalls(withBase(
                {{Step::kDataValue, valueDoc(valueRecord("3", "A", "1") +
                                             valueRecord("0", "S", std::string(65535, 'x')))},
                 {Step::kWrite, ""}})),
            "");
  // Versions "1.0", a data-set index that is no number (0), other elements
  // between records.
  EXPECT_EQ(
      runCalls({{Step::kDefinition,
                 "<Records version=\"1.0\"><Note/><Record><Name>A</Name><Datatype>int8_t</Datatype>"
                 "<Unit>u</Unit><Description>d</Description><Mandatory>false</Mandatory>"
                 "<Default>5</Default></Record></Records>"},
                {Step::kDataSet,
                 "<Dataset version=\"1.0\"><Record index=\"x\"><Name>A</Name></Record></Dataset>"},
                {Step::kDataValue, "<Datavalue version=\"1.0\"/>"},
                {Step::kWrite, ""}}),
      "");
}

TEST(CalcodecValues, IntegersKeepTheirRangeAndWidth) {
  struct Case {
    const char* type;
    const char* text;
    const char* shown;  // null: out of range
  } cases[] = {
      {"int8_t", "-128", "-128"},
      {"int8_t", "127", "127"},
      {"int8_t", "-129", nullptr},
      {"int8_t", "128", nullptr},
      {"uint8_t", "0", "0"},
      {"uint8_t", "255", "255"},
      {"uint8_t", "-1", nullptr},
      {"uint8_t", "256", nullptr},
      {"int16_t", "-32768", "-32768"},
      {"int16_t", "32767", "32767"},
      {"int16_t", "-32769", nullptr},
      {"int16_t", "32768", nullptr},
      {"uint16_t", "65535", "65535"},
      {"uint16_t", "65536", nullptr},
      {"int32_t", "-2147483648", "-2147483648"},
      {"int32_t", "2147483647", "2147483647"},
      {"int32_t", "-2147483649", nullptr},
      {"int32_t", "2147483648", nullptr},
      {"uint32_t", "4294967295", "4294967295"},
      {"uint32_t", "4294967296", nullptr},
      {"uint32_t", "-1", nullptr},
      // strtoll rules: blanks and a sign, stop at the first non-digit, no
      // digits give 0, saturation beyond 64 bits.
      {"int16_t", " \t+12abc", "12"},
      {"int16_t", "abc", "0"},
      {"int16_t", "", "0"},
      {"int16_t", "-0", "0"},
      {"int16_t", "1e3", "1"},
      {"int32_t", "99999999999999999999", nullptr},
      {"uint32_t", "-99999999999999999999", nullptr},
  };
  for (const auto& c : cases) {
    std::string shown = throughRecord(c.type, c.text);
    if (c.shown)
      EXPECT_EQ(shown, c.shown) << c.type << " " << c.text;
    else
      EXPECT_EQ(shown, "error: Out of range in V") << c.type << " " << c.text;
  }
}

TEST(CalcodecValues, FloatsKeepEveryDigit) {
  struct Case {
    const char* text;
    const char* shown;
  } cases[] = {
      {"0.1", "0.1"},
      {"3.14159274", "3.14159274"},
      {"123456789", "123456792"},
      {"16777217", "16777216"},
      {"1e-45", "1.4013e-45"},
      {"1.17549435e-38", "1.17549435e-38"},
      {"-2.5e10", "-2.5e+10"},
      {"-0", "-0"},
      {"1e40", "inf"},
      {"  2.5xyz", "2.5"},
      {"abc", "0"},
  };
  for (const auto& c : cases) EXPECT_EQ(throughRecord("float", c.text), c.shown) << c.text;
}

namespace {

struct CommaDecimal : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

}  // namespace

// Number texts are C-locale texts whatever locale the process runs in.
TEST(CalcodecValues, ConversionsIgnoreTheProcessLocale) {
  std::string savedC = std::setlocale(LC_ALL, nullptr);
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE"})
    if (std::setlocale(LC_ALL, name)) break;
  std::locale savedCpp = std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));

  EXPECT_EQ(throughRecord("float", "2.5"), "2.5");
  EXPECT_EQ(throughRecord("float", "1234567.5"), "1234567.5");
  EXPECT_EQ(throughRecord("int32_t", "1234567"), "1234567");

  std::locale::global(savedCpp);
  std::setlocale(LC_ALL, savedC.c_str());
}

TEST(CalcodecValues, TextsAreEscapedInValuesXml) {
  const std::string definitions =
      "<Records><Record><Name>a&amp;b&lt;c</Name><Datatype>string</Datatype></Record></Records>";
  const std::string dataSet =
      "<Dataset><Record index=\"2\"><Name>a&amp;b&lt;c</Name></Record></Dataset>";
  Handle writer = makeHandle();
  ASSERT_TRUE(addDefinition(writer.get(), definitions));
  ASSERT_TRUE(mergeDataSet(writer.get(), dataSet));
  ASSERT_TRUE(mergeDataValue(writer.get(),
                             valueDoc(valueRecord("2", "a&amp;b&lt;c", "x\"&lt;&amp;&gt;'y"))));
  std::string record = writeRecord(writer.get());

  Handle reader = makeHandle();
  ASSERT_TRUE(addDefinition(reader.get(), definitions));
  ASSERT_TRUE(mergeDataSet(reader.get(), dataSet));
  ASSERT_TRUE(readRecord(reader.get(), record)) << CalcodecGetLastError(reader.get());
  std::string xml = valuesXml(reader.get());
  EXPECT_NE(xml.find("<Name>a&amp;b&lt;c</Name>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<Value>x\"&lt;&amp;&gt;'y</Value>"), std::string::npos) << xml;
  ASSERT_TRUE(parsesWithRoot(xml, "Datavalue"));

  Handle again = makeHandle();
  ASSERT_TRUE(addDefinition(again.get(), definitions));
  ASSERT_TRUE(mergeDataSet(again.get(), dataSet));
  ASSERT_TRUE(mergeDataValue(again.get(), xml)) << CalcodecGetLastError(again.get());
  EXPECT_EQ(writeRecord(again.get()), record);
}

// XML inputs are worked on from a terminated copy of exactly the bytes
// given: no zero byte is needed, none is read past, and the fingerprint
// covers those bytes and no others.
TEST(CalcodecInput, UnterminatedAndEmptyInputs) {
  auto exact = [](const std::string& text) { return std::vector<char>(text.begin(), text.end()); };
  std::vector<char> definitions = exact(kDefinitions), dataSet = exact(kDataSet),
                    values =
                        exact(valueDoc(valueRecord("3", "A", "-7") + valueRecord("0", "S", "t")));

  Handle h = makeHandle();
  ASSERT_TRUE(CalcodecAddDefinition(h.get(), definitions.data(), unsigned(definitions.size())))
      << CalcodecGetLastError(h.get());
  ASSERT_TRUE(CalcodecMergeDataSet(h.get(), dataSet.data(), unsigned(dataSet.size())));
  ASSERT_TRUE(CalcodecMergeDataValue(h.get(), values.data(), unsigned(values.size())));
  std::string record = writeRecord(h.get());
  ASSERT_GE(record.size(), 4u);
  uint32_t seed =
      codec::crc32Variant(codec::kCalibrationSeed, kDefinitions.data(), kDefinitions.size());
  EXPECT_EQ(record.substr(0, 4), std::string(reinterpret_cast<const char*>(&seed), 4));

  // Length 0: nothing parsed, nothing folded.
  std::vector<char> one(1, '<');
  Handle empty = makeHandle();
  EXPECT_FALSE(CalcodecAddDefinition(empty.get(), one.data(), 0));
  EXPECT_STREQ(CalcodecGetLastError(empty.get()), "Missing root element: Records");
  EXPECT_FALSE(CalcodecMergeDataSet(empty.get(), one.data(), 0));
  EXPECT_STREQ(CalcodecGetLastError(empty.get()), "Missing root element: Dataset");
  EXPECT_FALSE(CalcodecMergeDataValue(empty.get(), one.data(), 0));
  EXPECT_STREQ(CalcodecGetLastError(empty.get()), "Missing root element: Datavalue");
  EXPECT_FALSE(CalcodecAddDefinition(empty.get(), nullptr, 0));
  ASSERT_TRUE(mergeDataSet(empty.get(), "<Dataset/>"));
  std::string bare = writeRecord(empty.get());
  uint32_t untouched = codec::kCalibrationSeed;
  EXPECT_EQ(bare.substr(0, 4), std::string(reinterpret_cast<const char*>(&untouched), 4));
}

TEST(CalcodecInput, BytesAfterTheZeroAreFingerprintedButNotParsed) {
  const std::string text = kDefinitions + std::string(1, '\0') + "<garbage";
  Handle h = makeHandle();
  ASSERT_TRUE(CalcodecAddDefinition(h.get(), text.data(), unsigned(text.size())));
  ASSERT_TRUE(mergeDataSet(h.get(), "<Dataset/>"));
  std::string record = writeRecord(h.get());
  uint32_t seed = codec::crc32Variant(codec::kCalibrationSeed, text.data(), text.size());
  EXPECT_EQ(record.substr(0, 4), std::string(reinterpret_cast<const char*>(&seed), 4));
}

TEST(CalcodecInput, FailedDefinitionStillChangesTheFingerprint) {
  const std::string bad = "<Records><Record><Name>A</Name></Record></Records>";
  Handle h = makeHandle();
  EXPECT_FALSE(addDefinition(h.get(), bad));
  EXPECT_STREQ(CalcodecGetLastError(h.get()), "Missing Datatype");
  ASSERT_TRUE(addDefinition(h.get(), kDefinitions));
  ASSERT_TRUE(mergeDataSet(h.get(), "<Dataset/>"));
  std::string record = writeRecord(h.get());
  uint32_t seed = codec::crc32Variant(codec::kCalibrationSeed, bad.c_str(), bad.size() + 1);
  seed = codec::crc32Variant(seed, kDefinitions.c_str(), kDefinitions.size() + 1);
  EXPECT_EQ(record.substr(0, 4), std::string(reinterpret_cast<const char*>(&seed), 4));
}

TEST(CalcodecHandleUse, SecondRecordStartsFromTheFirstCheck) {
  Handle h = makeHandle();
  ASSERT_TRUE(addDefinition(h.get(), kDefinitions));
  ASSERT_TRUE(mergeDataSet(h.get(), kDataSet));
  ASSERT_TRUE(
      mergeDataValue(h.get(), valueDoc(valueRecord("3", "A", "1") + valueRecord("0", "S", ""))));
  std::string first = writeRecord(h.get());
  std::string second = writeRecord(h.get());
  ASSERT_GE(first.size(), 8u);
  EXPECT_EQ(second.substr(0, 4), first.substr(first.size() - 4));
  EXPECT_EQ(second.substr(4, second.size() - 8), first.substr(4, first.size() - 8));
  // The empty string went out as a numeric block with value 0.
  size_t sBlock = 4 + 24 + 24;  // A (index 3), F (index 0), then S (index 0)
  ASSERT_GE(first.size(), sBlock + 24 + 4);
  EXPECT_EQ(uint8_t(first[sBlock]), 0x00);
  EXPECT_EQ(first.substr(sBlock + 1, 2), "S" + std::string(1, '\0'));
  EXPECT_EQ(first.substr(sBlock + 20, 4), std::string(4, '\0'));
}

TEST(CalcodecHandleUse, NullArgumentsAreRefused) {
  CalcodecDestroyHandle(nullptr);
  EXPECT_STREQ(CalcodecGetLastError(nullptr), "");
  EXPECT_FALSE(CalcodecAddDefinition(nullptr, "<Records/>", 11));
  EXPECT_FALSE(CalcodecInFromStdRecord(nullptr, "", 0));
  Handle h = makeHandle();
  EXPECT_STREQ(CalcodecGetLastError(h.get()), "");
  int length = 0;
  EXPECT_FALSE(CalcodecOutToStdRecord(h.get(), nullptr, &length));
  EXPECT_FALSE(CalcodecGetValuesXML(h.get(), nullptr));
  EXPECT_FALSE(CalcodecInFromStdRecord(h.get(), nullptr, 8));
  EXPECT_STREQ(CalcodecGetLastError(h.get()), "Out of input data");
}

// A record too short for its seed fails without touching the handle's
// running value: the next record written from the handle starts from the
// definitions' fingerprint as before, not from zero.
TEST(CalcodecStdRecord, ARecordTooShortForItsSeedLeavesTheSeedAlone) {
  const std::string definition =
      "<Records><Record><Name>n</Name><Datatype>uint8_t</Datatype><Default>7</Default>"
      "</Record></Records>";
  const std::string dataSet = "<Dataset><Record index=\"1\"><Name>n</Name></Record></Dataset>";
  auto prepared = [&] {
    Handle h = makeHandle();
    EXPECT_TRUE(addDefinition(h.get(), definition));
    EXPECT_TRUE(mergeDataSet(h.get(), dataSet));
    return h;
  };
  Handle clean = prepared();
  const std::string expected = writeRecord(clean.get());
  ASSERT_EQ(expected.size(), 4u + 24u + 4u);
  for (const std::string& cut :
       {std::string(), std::string(1, '\x01'), std::string("\x01\x02\x03")}) {
    Handle h = prepared();
    EXPECT_FALSE(readRecord(h.get(), cut)) << cut.size();
    EXPECT_STREQ(CalcodecGetLastError(h.get()), "Out of input data");
    EXPECT_EQ(writeRecord(h.get()), expected) << cut.size();
  }
}
