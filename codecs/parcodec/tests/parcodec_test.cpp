#include "parcodec/parcodec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "ParcodecTestXml.h"

using namespace parcodec_test;

namespace {

std::string vectorPath(const std::string& name) {
  return std::string(PARCODEC_VECTORS_DIR) + "/" + name;
}

std::vector<uint8_t> readBytes(const std::string& name) {
  std::ifstream in(vectorPath(name), std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string readText(const std::string& name) {
  auto bytes = readBytes(name);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<uint8_t> fromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string toHex(const uint8_t* bytes, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) (s += digits[bytes[i] >> 4]) += digits[bytes[i] & 15];
  return s;
}

void appendLe(std::vector<uint8_t>& out, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out.push_back(uint8_t(value >> (8 * i)));
}

// A parameter file put together byte by byte.
struct FileBytes {
  std::vector<uint8_t> bytes;
  explicit FileBytes(uint16_t version = 1, const std::string& uuid = kUuid) {
    appendLe(bytes, version, 2);
    for (int i = 0; i < 16; ++i) bytes.push_back(uint8_t(0xA0 + i));
    auto id = fromHex(uuid);
    bytes.insert(bytes.end(), id.begin(), id.end());
  }
  FileBytes& record(uint32_t descriptor, const std::string& name, uint64_t value, int valueBytes,
                    uint16_t remote = 7) {
    appendLe(bytes, descriptor, 4);
    appendLe(bytes, remote, 2);
    appendLe(bytes, name.size(), 2);
    bytes.insert(bytes.end(), name.begin(), name.end());
    appendLe(bytes, value, valueBytes);
    return *this;
  }
  FileBytes& raw(std::vector<uint8_t> more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return *this;
  }
};

std::vector<std::pair<std::string, std::string>> renderedPairs(Handle& h) {
  auto xml = h.render();
  EXPECT_TRUE(xml.has_value()) << h.error();
  if (!xml) return {};
  auto parsed = parseRendered(xml->c_str());
  EXPECT_TRUE(parsed.has_value()) << *xml;
  return parsed ? parsed->parameters : std::vector<std::pair<std::string, std::string>>{};
}

// The value bytes of the only record of a file written for one variable.
std::vector<uint8_t> onlyValue(const std::vector<uint8_t>& file, size_t nameLength) {
  size_t at = 34 + 8 + nameLength;
  return at <= file.size() ? std::vector<uint8_t>(file.begin() + ptrdiff_t(at), file.end())
                           : std::vector<uint8_t>{};
}

}  // namespace

// ---- Independently encoded vectors (tests/make_vectors.py) ----------------

TEST(ParcodecVectors, BuildsTheIndependentlyEncodedFile) {
  Handle h;
  ASSERT_TRUE(h.define(readText("types.definition.xml"))) << h.error();
  ASSERT_TRUE(h.defaults(readText("types.values.xml"))) << h.error();
  auto file = h.write();
  ASSERT_TRUE(file) << h.error();
  EXPECT_EQ(toHex(file->data(), file->size()), [] {
    auto expected = readBytes("types.par");
    return toHex(expected.data(), expected.size());
  }());
}

TEST(ParcodecVectors, RendersTheIndependentlyEncodedFile) {
  Handle h;
  ASSERT_TRUE(h.define(readText("types.definition.xml"))) << h.error();
  ASSERT_TRUE(h.read(readBytes("types.par"))) << h.error();
  auto xml = h.render();
  ASSERT_TRUE(xml) << h.error();
  EXPECT_EQ(*xml, readText("types.rendered.xml"));
}

TEST(ParcodecVectors, DefinitionWithoutDefaultsWritesTheHeaderAlone) {
  Handle h;
  ASSERT_TRUE(h.define(readText("types.definition.xml"))) << h.error();
  auto file = h.write();
  ASSERT_TRUE(file) << h.error();
  EXPECT_EQ(*file, readBytes("nodefaults.par"));

  Handle reader;  // no definition needed to read
  ASSERT_TRUE(reader.read(*file)) << reader.error();
  EXPECT_EQ(reader.render().value_or(""), readText("nodefaults.rendered.xml"));
}

TEST(ParcodecVectors, WithoutDefinitionEnumValuesStayNumbers) {
  Handle h;
  ASSERT_TRUE(h.read(readBytes("types.par"))) << h.error();
  auto pairs = renderedPairs(h);
  std::map<std::string, std::string> values(pairs.begin(), pairs.end());
  EXPECT_EQ(values["Motor.Mode"], "2");
  EXPECT_EQ(values["Motor.Level"], "4000000000");
  EXPECT_EQ(values["small"], "255");
  EXPECT_EQ(values["f_fine"], "1.23456776");
}

// ---- Round trips -------------------------------------------------------------

TEST(ParcodecRoundTrip, ValuesFileValuesFileGivesTheSameBytes) {
  const std::string definition = readText("types.definition.xml");
  // Every vector parameter but the 70-byte name, which reads back cut (see
  // SignatureCoversFullNamesWhileRecordsCutThemAt64Bytes).
  std::string values = readText("types.values.xml");
  size_t longName = values.find("Drive_train_controller");
  ASSERT_NE(longName, std::string::npos);
  size_t from = values.rfind("<Parameter>", longName), to = values.find("</Parameter>", longName);
  values.erase(from, to + std::strlen("</Parameter>") - from);

  Handle first;
  ASSERT_TRUE(first.define(definition));
  ASSERT_TRUE(first.defaults(values)) << first.error();
  auto file = first.write();
  ASSERT_TRUE(file) << first.error();

  Handle reader;
  ASSERT_TRUE(reader.define(definition));
  ASSERT_TRUE(reader.read(*file)) << reader.error();
  auto xml = reader.render();
  ASSERT_TRUE(xml);
  auto parsed = parseRendered(xml->c_str());
  ASSERT_TRUE(parsed) << *xml;
  EXPECT_EQ(parsed->parameters.size(), 19u);
  // What came back is what the independently made fixture says these values
  // read as, not merely what this codec wrote.
  auto expected = parseRendered(readText("types.rendered.xml").c_str());
  ASSERT_TRUE(expected);
  std::erase_if(expected->parameters,
                [](const auto& p) { return p.first.rfind("Drive_train_controller", 0) == 0; });
  EXPECT_EQ(parsed->parameters, expected->parameters);

  Handle second;
  ASSERT_TRUE(second.define(definition));
  ASSERT_TRUE(second.defaults(*xml)) << second.error();
  auto again = second.write();
  ASSERT_TRUE(again) << second.error();
  EXPECT_EQ(*again, *file);
}

TEST(ParcodecRoundTrip, ValuesFileValuesFileWithEscapedTextsAndFloats) {
  // Names and enum items with every character XML cares about, and floats
  // that 6 significant digits would change.
  const std::vector<EnumSpec> enums = {{"E", "", {{"a&b", "1"}, {"<tag>", "2"}, {"q\"'", "3"}}}};
  const std::vector<VarSpec> vars = {
      {"x&y", "int32_t"}, {"p<q>r", "uint8_t"}, {"quote\"apos'", "int16_t"},
      {"mode", "E"},      {"mode2", "E"},       {"mode3", "E"},
      {"f1", "float"},    {"f2", "float"},      {"f3", "float"},
      {"f4", "float"},    {"u64", "uint64_t"},
  };
  const std::vector<std::pair<std::string, std::string>> values = {
      {"x&y", "-5"},
      {"p<q>r", "200"},
      {"quote\"apos'", "-300"},
      {"mode", "a&b"},
      {"mode2", "<tag>"},
      {"mode3", "q\"'"},
      {"f1", "1.2345678"},
      {"f2", "3.4028235e38"},
      {"f3", "1e-45"},
      {"f4", "-123456.789"},
      {"u64", "9223372036854775808"},
  };
  const std::string definition = definitionXml(vars, enums);

  Handle first;
  ASSERT_TRUE(first.define(definition)) << first.error();
  ASSERT_TRUE(first.defaults(valuesXml(values))) << first.error();
  auto file = first.write();
  ASSERT_TRUE(file) << first.error();

  Handle reader;
  ASSERT_TRUE(reader.define(definition));
  ASSERT_TRUE(reader.read(*file)) << reader.error();
  auto xml = reader.render();
  ASSERT_TRUE(xml);
  auto parsed = parseRendered(xml->c_str());
  ASSERT_TRUE(parsed) << "rendered XML must be well-formed:\n" << *xml;
  std::map<std::string, std::string> back(parsed->parameters.begin(), parsed->parameters.end());
  EXPECT_EQ(back["x&y"], "-5");
  EXPECT_EQ(back["p<q>r"], "200");
  EXPECT_EQ(back["quote\"apos'"], "-300");
  EXPECT_EQ(back["mode"], "a&b");
  EXPECT_EQ(back["mode2"], "<tag>");
  EXPECT_EQ(back["mode3"], "q\"'");
  EXPECT_EQ(back["f1"], "1.23456776");
  EXPECT_EQ(back["f2"], "3.40282347e+38");
  EXPECT_EQ(back["f3"], "1.4013e-45");
  EXPECT_EQ(back["f4"], "-123456.789");
  EXPECT_EQ(back["u64"], "9223372036854775808");
  EXPECT_EQ(xml->find("<Name>x&amp;y</Name>") != std::string::npos, true) << *xml;
  EXPECT_EQ(xml->find("<Value>&lt;tag&gt;</Value>") != std::string::npos, true) << *xml;

  Handle second;
  ASSERT_TRUE(second.define(definition));
  ASSERT_TRUE(second.defaults(*xml)) << second.error();
  auto again = second.write();
  ASSERT_TRUE(again) << second.error();
  EXPECT_EQ(*again, *file);
}

// ---- Error texts ---------------------------------------------------------

namespace {

const std::string kReferenceDefinition = R"(<?xml version="1.0"?>
<zamoNs:zamoRoot>
 <zamoNs:zamoXMLVersion>1.0</zamoNs:zamoXMLVersion>
 <zamoNs:projectIdentity>
  <zamoNs:projectUUID>00112233445566778899aabbccddeeff</zamoNs:projectUUID>
  <zamoNs:paramTableId>0f1e2d3c4b5a69788796a5b4c3d2e1f0</zamoNs:paramTableId>
 </zamoNs:projectIdentity>
 <zamoNs:definedEnums>
  <zamoNs:definedEnum>
   <zamoNs:enumSimpleName>Mode</zamoNs:enumSimpleName>
   <zamoNs:enumTypeName>Mode_t</zamoNs:enumTypeName>
   <zamoNs:enumItems>
    <zamoNs:enumItem><zamoNs:enumItemName>Off</zamoNs:enumItemName><zamoNs:enumItemIndex>0</zamoNs:enumItemIndex></zamoNs:enumItem>
    <zamoNs:enumItem><zamoNs:enumItemName>On</zamoNs:enumItemName><zamoNs:enumItemIndex>1</zamoNs:enumItemIndex></zamoNs:enumItem>
   </zamoNs:enumItems>
  </zamoNs:definedEnum>
 </zamoNs:definedEnums>
 <zamoNs:definedVariables>
  <zamoNs:definedVariable>
   <zamoNs:varName>Group</zamoNs:varName>
   <zamoNs:definedVariables>
    <zamoNs:definedVariable>
     <zamoNs:varName>speed</zamoNs:varName>
     <zamoNs:varType>int16_t</zamoNs:varType>
     <zamoNs:remoteIndex>3</zamoNs:remoteIndex>
     <zamoNs:zamoNote>
      <zamoNs:accessMode>Param</zamoNs:accessMode>
      <zamoNs:defaultValue>5</zamoNs:defaultValue>
      <zamoNs:valuesEnum>Mode</zamoNs:valuesEnum>
     </zamoNs:zamoNote>
    </zamoNs:definedVariable>
   </zamoNs:definedVariables>
  </zamoNs:definedVariable>
 </zamoNs:definedVariables>
</zamoNs:zamoRoot>
)";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The text without the first element of that name, its nested namesakes
// included.
std::string without(const std::string& text, const std::string& element) {
  const std::string open = "<" + element + ">", close = "</" + element + ">";
  size_t start = text.find(open);
  EXPECT_NE(start, std::string::npos) << element;
  if (start == std::string::npos) return text;
  size_t at = start + open.size();
  for (int depth = 1; depth > 0;) {
    size_t nextOpen = text.find(open, at), nextClose = text.find(close, at);
    EXPECT_NE(nextClose, std::string::npos) << element;
    if (nextClose == std::string::npos) return text;
    if (nextOpen < nextClose) {
      ++depth;
      at = nextOpen + open.size();
    } else {
      --depth;
      at = nextClose + close.size();
    }
  }
  return text.substr(0, start) + text.substr(at);
}

}  // namespace

TEST(ParcodecErrors, ReferenceDefinitionIsSound) {
  Handle h;
  ASSERT_TRUE(h.define(kReferenceDefinition)) << h.error();
  ASSERT_TRUE(h.defaults(valuesXml({{"Group.speed", "On"}}))) << h.error();
  auto file = h.write();
  ASSERT_TRUE(file) << h.error();
  EXPECT_EQ(onlyValue(*file, 11), (std::vector<uint8_t>{1, 0}));
}

// The items are the first enumItem and every element after it, whatever its
// name; elements before the first enumItem are not items.
TEST(ParcodecDefinition, EnumItemsAreEveryElementFromTheFirstItemOn) {
  const std::string on =
      "<zamoNs:enumItem><zamoNs:enumItemName>On</zamoNs:enumItemName>"
      "<zamoNs:enumItemIndex>1</zamoNs:enumItemIndex></zamoNs:enumItem>";
  const std::string renamed =
      "<zamoNs:extra><zamoNs:enumItemName>On</zamoNs:enumItemName>"
      "<zamoNs:enumItemIndex>7</zamoNs:enumItemIndex></zamoNs:extra>";
  const std::string before = "<zamoNs:enumItems>";
  const struct {
    std::string definition;
    bool knowsOn;
  } cases[] = {
      {replaced(kReferenceDefinition, on, renamed), true},
      {replaced(replaced(kReferenceDefinition, on, ""), before, before + renamed), false},
  };
  for (const auto& c : cases) {
    Handle h;
    ASSERT_TRUE(h.define(c.definition)) << h.error();
    ASSERT_TRUE(h.defaults(valuesXml({{"Group.speed", "On"}}))) << h.error();
    auto file = h.write();
    if (!c.knowsOn) {
      EXPECT_FALSE(file);
      EXPECT_EQ(h.error(), "Value for enum Mode not found: On");
      continue;
    }
    ASSERT_TRUE(file) << h.error();
    EXPECT_EQ(onlyValue(*file, 11), (std::vector<uint8_t>{7, 0}));
  }
}

TEST(ParcodecErrors, DefinitionMessages) {
  struct Case {
    std::string xml;
    const char* error;
  } cases[] = {
      {replaced(kReferenceDefinition, ">1.0<", ">1.1<"),
       "Definition parameter XML version unsupported"},
      {replaced(kReferenceDefinition, ">1.0<", "> 1.0<"),
       "Definition parameter XML version unsupported"},
      {replaced(kReferenceDefinition, "00112233445566778899aabbccddeeff",
                "00112233445566778899aabbccddee"),
       "Definition parameter source wrong projectUUID size"},
      {replaced(kReferenceDefinition, "00112233445566778899aabbccddeeff",
                "00112233445566778899aabbccddeeff0"),
       "Definition parameter source wrong projectUUID size"},
      {replaced(kReferenceDefinition, "0f1e2d3c4b5a69788796a5b4c3d2e1f0", ""),
       "Definition parameter source wrong paramTableId size"},
      // Not well-formed: the parser's own text is not passed on.
      {replaced(kReferenceDefinition, "</zamoNs:zamoRoot>", ""), "Exception error"},
      {replaced(kReferenceDefinition, "<zamoNs:varName>", "<zamoNs:varName"), "Exception error"},
      {"", "Missing <zamoNs:zamoRoot> statement"},
      // Required elements that have no message of their own.
      {replaced(kReferenceDefinition, "<zamoNs:zamoRoot>", "<zamoNs:zamoroot>"),
       "Missing <zamoNs:zamoRoot> statement"},
      {"<zamoNs:other/>", "Missing <zamoNs:zamoRoot> statement"},
      {without(kReferenceDefinition, "zamoNs:zamoXMLVersion"),
       "Missing <zamoNs:zamoXMLVersion> statement"},
      {without(kReferenceDefinition, "zamoNs:projectIdentity"),
       "Missing <zamoNs:projectIdentity> statement"},
      {without(kReferenceDefinition, "zamoNs:projectUUID"),
       "Missing <zamoNs:projectUUID> statement"},
      {without(kReferenceDefinition, "zamoNs:paramTableId"),
       "Missing <zamoNs:paramTableId> statement"},
      {without(kReferenceDefinition, "zamoNs:enumSimpleName"),
       "Missing <zamoNs:enumSimpleName> statement"},
      {without(replaced(kReferenceDefinition, ">Mode</zamoNs:enumSimpleName",
                        "></zamoNs:enumSimpleName"),
               "zamoNs:enumTypeName"),
       "Missing <zamoNs:enumTypeName> statement"},
      {without(kReferenceDefinition, "zamoNs:enumItems"), "Missing <zamoNs:enumItems> statement"},
      {replaced(kReferenceDefinition, "<zamoNs:enumItemName>On</zamoNs:enumItemName>", ""),
       "Missing <zamoNs:enumItemName> statement"},
      {replaced(kReferenceDefinition, "<zamoNs:enumItemIndex>1</zamoNs:enumItemIndex>", ""),
       "Missing <zamoNs:enumItemIndex> statement"},
      // Every element after the first item is an item, whatever its name.
      {replaced(kReferenceDefinition, "</zamoNs:enumItems>",
                "<zamoNs:note>x</zamoNs:note></zamoNs:enumItems>"),
       "Missing <zamoNs:enumItemName> statement"},
      {replaced(kReferenceDefinition, "</zamoNs:enumItems>", "stray text</zamoNs:enumItems>"),
       "Unexpected text in zamoNs:enumItems of enum Mode"},
      // A NUL from a character reference would cut the rendered output short.
      {replaced(kReferenceDefinition, ">speed<", ">sp&#0;eed<"),
       "Invalid NUL character in <zamoNs:varName> statement"},
      {replaced(kReferenceDefinition, ">On<", ">O&#0;n<"),
       "Invalid NUL character in <zamoNs:enumItemName> statement"},
      {without(kReferenceDefinition, "zamoNs:definedVariables"),
       "Missing <zamoNs:definedVariables> statement"},
      {without(kReferenceDefinition, "zamoNs:varName"), "Missing <zamoNs:varName> statement"},
      {without(kReferenceDefinition, "zamoNs:zamoNote"), "Missing <zamoNs:zamoNote> statement"},
      {without(kReferenceDefinition, "zamoNs:accessMode"), "Missing <zamoNs:accessMode> statement"},
      {without(kReferenceDefinition, "zamoNs:varType"), "Missing <zamoNs:varType> statement"},
      {without(kReferenceDefinition, "zamoNs:remoteIndex"),
       "Missing <zamoNs:remoteIndex> statement"},
      {without(kReferenceDefinition, "zamoNs:defaultValue"),
       "Missing <zamoNs:defaultValue> statement"},
  };
  for (const auto& c : cases) {
    Handle h;
    EXPECT_FALSE(h.define(c.xml)) << c.error;
    EXPECT_EQ(h.error(), c.error);
  }
}

TEST(ParcodecErrors, VariablesNotParamNeedNoTypeIndexOrDefault) {
  // A skipped variable is not read past its access mode.
  std::string xml = replaced(kReferenceDefinition, ">Param<", ">Status<");
  xml =
      without(without(without(xml, "zamoNs:varType"), "zamoNs:remoteIndex"), "zamoNs:defaultValue");
  Handle h;
  EXPECT_TRUE(h.define(xml)) << h.error();
  EXPECT_FALSE(h.defaults(valuesXml({{"Group.speed", "1"}})));
  EXPECT_EQ(h.error(), "Parameter Group.speed not found");
}

TEST(ParcodecErrors, ValuesMessages) {
  const std::string good = valuesXml({{"Group.speed", "1"}});
  struct Case {
    std::string xml;
    const char* error;
  } cases[] = {
      {replaced(good, " UUID=\"00112233445566778899aabbccddeeff\"", ""),
       "Missing mandatory project UUID from default parameters definition"},
      {replaced(good, "00112233445566778899aabbccddeeff", "00112233445566778899aabbccddeef0f"),
       "Definition parameter source wrong projectUUID size"},
      {replaced(good, "00112233445566778899aabbccddeeff", ""),
       "Definition parameter source wrong projectUUID size"},
      {replaced(good, "00112233445566778899aabbccddeeff", "00112233445566778899aabbccddeefe"),
       "Project mismatching UUID"},
      {replaced(replaced(good, "<Parameters>", "<Params>"), "</Parameters>", "</Params>"),
       "Missing parameters list"},
      {replaced(good, "<Name>Group.speed</Name>", ""), "Missing <Name> statement"},
      {replaced(good, "<Value>1</Value>", ""), "Missing <Value> statement"},
      {replaced(good, "Group.speed", "Group.Speed"), "Parameter Group.Speed not found"},
      {replaced(good, "Group.speed", "speed"), "Parameter speed not found"},
      {"<Tabl UUID=\"00112233445566778899aabbccddeeff\"/>", "Missing <Table> statement"},
      {"<Table UUID=\"00112233445566778899aabbccddeeff\">", "Exception error"},
  };
  for (const auto& c : cases) {
    Handle h;
    ASSERT_TRUE(h.define(kReferenceDefinition));
    EXPECT_FALSE(h.defaults(c.xml)) << c.error;
    EXPECT_EQ(h.error(), c.error);
  }
}

TEST(ParcodecErrors, WriteMessages) {
  const std::vector<EnumSpec> enums = {{"Color", "", {{"Red", "1"}}}};
  struct Case {
    VarSpec var;
    const char* value;
    const char* error;
  } cases[] = {
      {{"v", "Shape"}, "Round", "Enum not found: Shape"},
      {{"v", "uint8_t", "Shade"}, "Dark", "Enum not found: Shade"},
      {{"v", "Color"}, "Green", "Value for enum Color not found: Green"},
      {{"v", "Color"}, "red", "Value for enum Color not found: red"},
      {{"v", "int8_t"}, "200", "Out of range in v"},
      {{"v", "int8_t"}, "-129", "Out of range in v"},
      {{"v", "uint8_t"}, "-1", "Out of range in v"},
      {{"v", "uint8_t"}, "256", "Out of range in v"},
      {{"v", "int16_t"}, "32768", "Out of range in v"},
      {{"v", "int16_t"}, "-32769", "Out of range in v"},
      {{"v", "uint16_t"}, "65536", "Out of range in v"},
      {{"v", "int32_t"}, "2147483648", "Out of range in v"},
      {{"v", "int32_t"}, "-2147483649", "Out of range in v"},
      {{"v", "uint32_t"}, "4294967296", "Out of range in v"},
      {{"v", "uint32_t"}, "-1", "Out of range in v"},
      {{"v", "uint64_t"}, "-9223372036854775809", "Out of range in v"},
      {{"v", "uint64_t"}, " -18446744073709551615", "Out of range in v"},
      {{"v", "uint64_t"}, "18446744073709551616", "Out of range in v"},
      {{"v", "int64_t"}, "9223372036854775808", "Out of range in v"},
      {{"v", "int64_t"}, "-9223372036854775809", "Out of range in v"},
  };
  for (auto& c : cases) {
    Handle h;
    ASSERT_TRUE(h.define(definitionXml({c.var}, enums))) << h.error();
    ASSERT_TRUE(h.defaults(valuesXml({{c.var.name, c.value}}))) << h.error();
    void* data = reinterpret_cast<void*>(0x1);
    int length = -7;
    bool ok = ParcodecOutToDefParFile(h.get(), &data, &length);
    EXPECT_FALSE(ok) << c.var.type << " " << c.value;
    EXPECT_EQ(h.error(), c.error);
    EXPECT_EQ(data, reinterpret_cast<void*>(0x1)) << "out-parameters untouched";
    EXPECT_EQ(length, -7);
  }
}

TEST(ParcodecErrors, ReadMessages) {
  const std::vector<uint8_t> header = FileBytes().bytes;
  auto cut = [&](size_t n) {
    return std::vector<uint8_t>(header.begin(), header.begin() + ptrdiff_t(n));
  };
  auto oneRecord = FileBytes().record(0x51000002, "abc", 0x1234, 2).bytes;  // 34 + 8 + 3 + 2 bytes
  auto recordCut = [&](size_t n) {
    return std::vector<uint8_t>(oneRecord.begin(), oneRecord.end() - ptrdiff_t(n));
  };
  struct Case {
    std::vector<uint8_t> file;
    const char* error;
  } cases[] = {
      {{}, "Out of input data"},
      {{1}, "Out of input data"},
      {cut(2), "Out of input data"},
      {cut(17), "Out of input data"},
      {cut(33), "Out of input data"},
      {FileBytes(2).bytes, "Parameter file version unsupported: 2"},
      {FileBytes(0).bytes, "Parameter file version unsupported: 0"},
      {FileBytes(0xFFFF).bytes, "Parameter file version unsupported: 65535"},
      {FileBytes(0x0100).bytes, "Parameter file version unsupported: 256"},
      {FileBytes().record(0x10000009, "a", 0, 8).bytes, "Invalid parameter data length"},
      {FileBytes().record(0x10FFFFFF, "a", 0, 8).bytes, "Invalid parameter data length"},
      // Each field of a record cut short: value, name, name length, remote index.
      {recordCut(1), "Out of input data"},
      {recordCut(2), "Out of input data"},
      {recordCut(3), "Out of input data"},
      {recordCut(6), "Out of input data"},
      {recordCut(8), "Out of input data"},
      {recordCut(9), "Out of input data"},
      // A name length far beyond the data.
      {FileBytes().raw({0x02, 0, 0, 0x11, 7, 0, 0xFF, 0xFF, 'a'}).bytes, "Out of input data"},
  };
  for (const auto& c : cases) {
    Handle h;
    EXPECT_FALSE(h.read(c.file)) << c.error << " size " << c.file.size();
    EXPECT_EQ(h.error(), c.error) << "size " << c.file.size();
  }
}

TEST(ParcodecErrors, BadArgumentsFailWithoutTouchingOutputs) {
  EXPECT_EQ(std::string(ParcodecGetLastError(nullptr)), "");
  ParcodecDestroyHandle(nullptr);
  EXPECT_FALSE(ParcodecSetDefinition(nullptr, "x", 1));
  EXPECT_FALSE(ParcodecAppendDefaults(nullptr, "x", 1));
  EXPECT_FALSE(ParcodecInFromParFile(nullptr, "x", 1));
  void* data = nullptr;
  int length = 0;
  char* xml = nullptr;
  EXPECT_FALSE(ParcodecOutToDefParFile(nullptr, &data, &length));
  EXPECT_FALSE(ParcodecGetDataAsXML(nullptr, &xml));

  Handle h;
  EXPECT_FALSE(ParcodecOutToDefParFile(h.get(), nullptr, &length));
  EXPECT_EQ(h.error(), "Exception error");
  EXPECT_FALSE(ParcodecGetDataAsXML(h.get(), nullptr));
  EXPECT_FALSE(ParcodecInFromParFile(h.get(), nullptr, 40));
  EXPECT_EQ(h.error(), "Out of input data");
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(xml, nullptr);
}

// ---- Writing values ------------------------------------------------------

TEST(ParcodecWrite, ValueTextsAndTheirBytes) {
  struct Case {
    const char* type;
    const char* text;
    const char* bytes;  // hex, little-endian
  } cases[] = {
      {"int8_t", "-128", "80"},
      {"int8_t", "127", "7f"},
      {"int8_t", "12abc", "0c"},
      {"int8_t", "  +5", "05"},
      {"int8_t", "\t-0", "00"},
      {"int8_t", "", "00"},
      {"int8_t", "abc", "00"},
      {"int8_t", "- 5", "00"},
      {"int8_t", "0x10", "00"},
      {"uint8_t", "255", "ff"},
      {"int16_t", "-2", "feff"},
      {"uint16_t", "65535", "ffff"},
      {"int32_t", "-2147483648", "00000080"},
      {"uint32_t", "4294967295", "ffffffff"},
      {"int64_t", "-9223372036854775808", "0000000000000080"},
      {"int64_t", "9223372036854775807", "ffffffffffffff7f"},
      {"uint64_t", "18446744073709551615", "ffffffffffffffff"},
      {"uint64_t", "9223372036854775808", "0000000000000080"},
      {"uint64_t", "-0", "0000000000000000"},
      // A negative text reads as a signed 64-bit value, as integer defaults do.
      {"uint64_t", "-1", "ffffffffffffffff"},
      {"uint64_t", "-9223372036854775808", "0000000000000080"},
      {"float", "0.00000000000000000000000000000000000000000000000001", "00000000"},
      {"float", "-0.0000000000000000000000000000000000000000000000000001e3", "00000080"},
      {"float", "0.0000000000000000000000000000000000000000000000000000001e5", "00000000"},
      {"float", "100000000000000000000000000000000000000000000000000e-5", "0000807f"},
      {"float", "1", "0000803f"},
      {"float", "-0", "00000080"},
      {"float", "0.1", "cdcccc3d"},
      {"float", "16777217", "0000804b"},
      {"float", " 2.5xyz", "00002040"},
      {"float", "0x1p3", "00000041"},
      {"float", "1e-50", "00000000"},
      {"float", "1e50", "0000807f"},
      {"float", "-inf", "000080ff"},
      {"float", "nan", "0000c07f"},
      {"float", "", "00000000"},
      {"float", "x1", "00000000"},
  };
  for (const auto& c : cases) {
    Handle h;
    ASSERT_TRUE(h.define(definitionXml({{"v", c.type}})));
    ASSERT_TRUE(h.defaults(valuesXml({{"v", c.text}})));
    auto file = h.write();
    ASSERT_TRUE(file) << c.type << " '" << c.text << "': " << h.error();
    auto value = onlyValue(*file, 1);
    EXPECT_EQ(toHex(value.data(), value.size()), c.bytes) << c.type << " '" << c.text << "'";
  }
}

TEST(ParcodecWrite, RecordLayoutDescriptorsAndRemoteIndex) {
  struct Case {
    const char* type;
    uint32_t descriptor;
  } cases[] = {
      {"int8_t", 0x50000001},   {"uint8_t", 0x10000001},  {"int16_t", 0x51000002},
      {"uint16_t", 0x11000002}, {"int32_t", 0x53000004},  {"uint32_t", 0x13000004},
      {"int64_t", 0x57000008},  {"uint64_t", 0x17000008}, {"float", 0x33000004},
      {"SomeEnum", 0x13000004},
  };
  for (const auto& c : cases) {
    Handle h;
    ASSERT_TRUE(
        h.define(definitionXml({{"name", c.type, "", "70000"}}, {{"SomeEnum", "", {{"A", "9"}}}})));
    ASSERT_TRUE(h.defaults(valuesXml({{"name", std::string(c.type) == "SomeEnum" ? "A" : "1"}})));
    auto file = h.write();
    ASSERT_TRUE(file) << h.error();
    ASSERT_GE(file->size(), 46u);
    std::vector<uint8_t> expected;
    appendLe(expected, c.descriptor, 4);
    appendLe(expected, 4464, 2);  // 70000 keeps its low 16 bits
    appendLe(expected, 4, 2);
    EXPECT_EQ(std::vector<uint8_t>(file->begin() + 34, file->begin() + 42), expected) << c.type;
    EXPECT_EQ(file->size(), 34u + 8 + 4 + (c.descriptor & 0xFF)) << c.type;
  }
}

TEST(ParcodecWrite, RemoteIndexTexts) {
  struct Case {
    const char* text;
    uint16_t index;
  } cases[] = {{"70000", 4464}, {"65535", 65535}, {"-1", 65535}, {" 12x", 12}, {"abc", 0}, {"", 0}};
  for (const auto& c : cases) {
    Handle h;
    ASSERT_TRUE(h.define(definitionXml({{"v", "uint8_t", "", c.text}})));
    ASSERT_TRUE(h.defaults(valuesXml({{"v", "1"}})));
    auto file = h.write();
    ASSERT_TRUE(file);
    EXPECT_EQ((*file)[38] | (*file)[39] << 8, c.index) << c.text;
  }
}

TEST(ParcodecWrite, SignatureCoversFullNamesWhileRecordsCutThemAt64Bytes) {
  const std::string longName(70, 'n');
  const std::string name64 = longName.substr(0, 64);
  Handle h;
  ASSERT_TRUE(h.define(definitionXml({{longName, "uint8_t"}})));
  ASSERT_TRUE(h.defaults(valuesXml({{longName, "9"}})));
  auto file = h.write();
  ASSERT_TRUE(file);
  ASSERT_EQ(file->size(), 34u + 8 + 64 + 1);
  EXPECT_EQ((*file)[40], 64);
  EXPECT_EQ((*file)[41], 0);
  EXPECT_EQ(std::string(file->begin() + 42, file->begin() + 106), name64);
  EXPECT_EQ(file->back(), 9);

  // Same record bytes from a 64-byte name, but another signature.
  Handle shorter;
  ASSERT_TRUE(shorter.define(definitionXml({{name64, "uint8_t"}})));
  ASSERT_TRUE(shorter.defaults(valuesXml({{name64, "9"}})));
  auto other = shorter.write();
  ASSERT_TRUE(other);
  EXPECT_TRUE(std::equal(file->begin() + 18, file->end(), other->begin() + 18));
  EXPECT_FALSE(std::equal(file->begin() + 2, file->begin() + 18, other->begin() + 2));

  Handle reader;
  ASSERT_TRUE(reader.read(*file));
  EXPECT_EQ(renderedPairs(reader),
            (std::vector<std::pair<std::string, std::string>>{{name64, "9"}}));
  // So such a parameter cannot be applied back from the rendered values.
  EXPECT_FALSE(h.defaults(reader.render().value_or("")));
  EXPECT_EQ(h.error(), "Parameter " + name64 + " not found");
}

TEST(ParcodecWrite, OnlyAppliedDefaultsAreWrittenInNameOrder) {
  Handle h;
  ASSERT_TRUE(h.define(definitionXml({{"b", "uint8_t"},
                                      {"a", "uint8_t"},
                                      {"\xC3\xA9", "uint8_t"},
                                      {"B", "uint8_t"},
                                      {"ab", "uint8_t"},
                                      {"unset", "uint8_t"}})));
  ASSERT_TRUE(h.defaults(valuesXml({{"b", "1"}, {"\xC3\xA9", "2"}, {"ab", "3"}})));
  ASSERT_TRUE(h.defaults(valuesXml({{"a", "4"}, {"B", "5"}, {"b", "6"}})));
  auto file = h.write();
  ASSERT_TRUE(file);
  Handle reader;
  ASSERT_TRUE(reader.read(*file));
  // Unsigned byte order: upper case, then lower case, a prefix first, then
  // bytes above 0x7f.
  EXPECT_EQ(renderedPairs(reader),
            (std::vector<std::pair<std::string, std::string>>{
                {"B", "5"}, {"a", "4"}, {"ab", "3"}, {"b", "6"}, {"\xC3\xA9", "2"}}));
}

TEST(ParcodecWrite, FailedWriteChangesNothing) {
  Handle h;
  ASSERT_TRUE(h.define(definitionXml({{"a", "uint8_t"}, {"b", "int8_t"}})));
  ASSERT_TRUE(h.defaults(valuesXml({{"a", "1"}, {"b", "300"}})));
  EXPECT_FALSE(h.write());
  EXPECT_EQ(h.error(), "Out of range in b");
  ASSERT_TRUE(h.defaults(valuesXml({{"b", "-3"}})));
  auto file = h.write();
  ASSERT_TRUE(file) << h.error();
  EXPECT_EQ(file->size(), 34u + 2 * (8 + 1 + 1));
}

// ---- Reading values --------------------------------------------------------

TEST(ParcodecRead, ValueTextsByDescriptor) {
  struct Case {
    uint32_t descriptor;
    uint64_t value;
    int valueBytes;
    const char* text;
  } cases[] = {
      {0x50000001, 0x80, 1, "-128"},
      {0x10000001, 0x80, 1, "128"},
      {0x51000002, 0x8000, 2, "-32768"},
      {0x11000002, 0xFFFF, 2, "65535"},
      {0x53000004, 0xFFFFFFFF, 4, "-1"},
      {0x13000004, 0xFFFFFFFF, 4, "4294967295"},
      {0x57000008, 0x8000000000000000, 8, "-9223372036854775808"},
      {0x17000008, 0xFFFFFFFFFFFFFFFF, 8, "18446744073709551615"},
      {0x33000004, 0x3DCCCCCD, 4, "0.1"},
      {0x33000004, 0x3F9E0651, 4, "1.23456776"},
      {0x33000004, 0x4B800001, 4, "16777218"},
      {0x33000004, 0x80000000, 4, "-0"},
      {0x33000004, 0x7F800000, 4, "inf"},
      {0x33000004, 0x7FC00000, 4, "nan"},
      {0x33000004, 0x00000001, 4, "1.4013e-45"},
      // A float bit wins over the width code.
      {0x37000008, 0x123456783F800000, 8, "1"},
      {0x22000001, 0x3F, 1, "8.82818e-44"},
      // Width codes other than 0, 1, 3 and 7 give no value text.
      {0x12000003, 0x010203, 3, ""},
      {0x52000003, 0x010203, 3, ""},
      {0x14000005, 1, 5, ""},
      // The width code decides how the bytes read are taken.
      {0x17000001, 0xFF, 1, "255"},
      {0x50000002, 0x01FF, 2, "-1"},
      {0x10000000, 0, 0, "0"},
      // Bits 27, 28 and 31 are not looked at.
      {0x88000001, 0x05, 1, "5"},
  };
  for (const auto& c : cases) {
    Handle h;
    ASSERT_TRUE(h.read(FileBytes().record(c.descriptor, "v", c.value, c.valueBytes).bytes))
        << h.error();
    EXPECT_EQ(renderedPairs(h), (std::vector<std::pair<std::string, std::string>>{{"v", c.text}}))
        << std::hex << c.descriptor;
  }
}

TEST(ParcodecRead, TrailingBytesNamesAndRepeats) {
  Handle h;
  auto file = FileBytes()
                  .record(0x10000001, "b", 1, 1)
                  .record(0x10000001, std::string("a\0junk", 6), 2, 1)
                  .record(0x10000001, "", 3, 1)
                  .record(0x10000001, "b", 4, 1)
                  .raw({0xEE, 0xEE, 0xEE})
                  .bytes;
  ASSERT_TRUE(h.read(file)) << h.error();
  EXPECT_EQ(renderedPairs(h),
            (std::vector<std::pair<std::string, std::string>>{{"", "3"}, {"a", "2"}, {"b", "4"}}));
  for (size_t stray = 1; stray <= 3; ++stray) {
    Handle one;
    auto bytes = FileBytes().record(0x10000001, "x", 1, 1).bytes;
    bytes.insert(bytes.end(), stray, 0xFF);
    EXPECT_TRUE(one.read(bytes)) << stray << ": " << one.error();
  }
}

TEST(ParcodecRead, IdsAndDecodedValuesAccumulateOverFiles) {
  Handle h;
  EXPECT_EQ(h.render().value_or(""),
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" standalone=\"yes\"?>\n"
            "<Table UUID=\"00000000000000000000000000000000\" "
            "defparSignature=\"00000000000000000000000000000000\">\n"
            "  <Parameters>\n  </Parameters>\n</Table>\n");
  ASSERT_TRUE(
      h.read(FileBytes(1, "ffeeddccbbaa99887766554433221100").record(0x10000001, "a", 1, 1).bytes));
  ASSERT_TRUE(h.read(FileBytes().record(0x10000001, "b", 2, 1).bytes));
  auto xml = h.render();
  ASSERT_TRUE(xml);
  auto parsed = parseRendered(xml->c_str());
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->uuid, kUuid);
  EXPECT_EQ(parsed->signature, "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
  EXPECT_EQ(parsed->parameters,
            (std::vector<std::pair<std::string, std::string>>{{"a", "1"}, {"b", "2"}}));

  // A failing file keeps what it decoded before the failure, and the ids.
  auto bad = FileBytes(1, "0102030405060708090a0b0c0d0e0f10").record(0x10000001, "c", 3, 1).bytes;
  bad.insert(bad.end(), {0x09, 0, 0, 0x10});
  EXPECT_FALSE(h.read(bad));
  EXPECT_EQ(h.error(), "Invalid parameter data length");
  parsed = parseRendered(h.render().value_or("").c_str());
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->uuid, "0102030405060708090a0b0c0d0e0f10");
  EXPECT_EQ(parsed->parameters.size(), 3u);
}

TEST(ParcodecRead, EnumNamesOnlyForTheDefinitionsProject) {
  const std::string definition = definitionXml(
      {{"e", "Mode"}, {"n", "uint8_t"}, {"missing", "uint8_t", "Nowhere"}},
      {{"Mode", "", {{"Zeta", "1"}, {"Alpha", "1"}, {"Two", "2"}, {"Padded", " 3"}}}});
  auto file = [](const std::string& uuid) {
    return FileBytes(1, uuid)
        .record(0x13000004, "e", 1, 4)
        .record(0x13000004, "n", 2, 4)  // not an enum variable
        .record(0x13000004, "missing", 1, 4)
        .record(0x13000004, "unknown", 1, 4)
        .record(0x13000004, "f", 3, 4)
        .bytes;
  };
  Handle h;
  ASSERT_TRUE(h.define(definition));
  ASSERT_TRUE(h.read(file(kUuid)));
  // The first item in name order whose index text is exactly the value text.
  EXPECT_EQ(renderedPairs(h),
            (std::vector<std::pair<std::string, std::string>>{
                {"e", "Alpha"}, {"f", "3"}, {"missing", "1"}, {"n", "2"}, {"unknown", "1"}}));

  Handle other;
  ASSERT_TRUE(other.define(definition));
  ASSERT_TRUE(other.read(file("00112233445566778899aabbccddeefe")));
  EXPECT_EQ(renderedPairs(other)[0], (std::pair<std::string, std::string>{"e", "1"}));
}

// ---- Definitions ---------------------------------------------------------

TEST(ParcodecDefinition, HexIdTexts) {
  struct Case {
    const char* text;
    const char* bytes;  // nullptr: wrong size
  } cases[] = {
      {"00112233445566778899AABBCCDDEEFF", "00112233445566778899aabbccddeeff"},
      // 31 digits: the last piece is one digit.
      {"00112233445566778899aabbccddeef", "00112233445566778899aabbccddee0f"},
      // Pieces are read like strtol in base 16, each kept as its low byte.
      {"zz 1-1+a0x1z-f 0000000000000000", "0001ff0a0001f1000000000000000000"},
      {"0011223344556677889900aabbccddeef", nullptr},
      {"001122334455667788990aabbccddee", "001122334455667788990aabbccdde0e"},  // 31
      {"001122334455667788990aabbccdde", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    Handle h;
    bool ok = h.define(definitionXml({}, {}, c.text));
    if (!c.bytes) {
      EXPECT_FALSE(ok) << c.text;
      EXPECT_EQ(h.error(), "Definition parameter source wrong projectUUID size") << c.text;
      continue;
    }
    ASSERT_TRUE(ok) << c.text << ": " << h.error();
    auto file = h.write();
    ASSERT_TRUE(file);
    EXPECT_EQ(toHex(file->data() + 18, 16), c.bytes) << c.text;
    // A values document naming the same bytes in any spelling matches.
    EXPECT_TRUE(h.defaults(valuesXml({}, c.text))) << h.error();
    EXPECT_TRUE(h.defaults(valuesXml({}, c.bytes))) << h.error();
  }
}

TEST(ParcodecDefinition, GroupsAccessModesAndTypeNames) {
  std::string xml = R"(<zamoNs:zamoRoot><zamoNs:zamoXMLVersion>1.0</zamoNs:zamoXMLVersion>
<zamoNs:projectIdentity><zamoNs:projectUUID>00112233445566778899aabbccddeeff</zamoNs:projectUUID>
<zamoNs:paramTableId>0f1e2d3c4b5a69788796a5b4c3d2e1f0</zamoNs:paramTableId></zamoNs:projectIdentity>
<zamoNs:definedEnums>
 <zamoNs:definedEnum><zamoNs:enumSimpleName>Mode</zamoNs:enumSimpleName><zamoNs:enumItems>
  <zamoNs:enumItem><zamoNs:enumItemName>A</zamoNs:enumItemName><zamoNs:enumItemIndex>1</zamoNs:enumItemIndex></zamoNs:enumItem>
  <zamoNs:enumItem><zamoNs:enumItemName>A</zamoNs:enumItemName><zamoNs:enumItemIndex>5</zamoNs:enumItemIndex></zamoNs:enumItem>
 </zamoNs:enumItems></zamoNs:definedEnum>
 <zamoNs:other/>
 <zamoNs:definedEnum><zamoNs:enumSimpleName></zamoNs:enumSimpleName><zamoNs:enumTypeName>Other_t</zamoNs:enumTypeName>
  <zamoNs:enumItems><zamoNs:junk/><zamoNs:enumItem><zamoNs:enumItemName>B</zamoNs:enumItemName><zamoNs:enumItemIndex>2</zamoNs:enumItemIndex></zamoNs:enumItem></zamoNs:enumItems>
 </zamoNs:definedEnum>
</zamoNs:definedEnums>
<zamoNs:definedVariables>
 <zamoNs:definedVariable><zamoNs:varName>Motor</zamoNs:varName>
  <zamoNs:varType>ignored</zamoNs:varType>
  <zamoNs:definedVariables>
   <zamoNs:definedVariable><zamoNs:varName>Limits</zamoNs:varName><zamoNs:definedVariables>
    <zamoNs:definedVariable><zamoNs:varName>Speed</zamoNs:varName><zamoNs:varType>Mode</zamoNs:varType>
     <zamoNs:remoteIndex>1</zamoNs:remoteIndex><zamoNs:zamoNote><zamoNs:accessMode>Param</zamoNs:accessMode>
     <zamoNs:defaultValue>A</zamoNs:defaultValue><zamoNs:valuesEnum>Other_t</zamoNs:valuesEnum></zamoNs:zamoNote>
    </zamoNs:definedVariable>
   </zamoNs:definedVariables></zamoNs:definedVariable>
  </zamoNs:definedVariables>
 </zamoNs:definedVariable>
 <zamoNs:notAVariable/>
 <zamoNs:definedVariable><zamoNs:varName>t</zamoNs:varName><zamoNs:varType>uint8_t</zamoNs:varType>
  <zamoNs:remoteIndex>1</zamoNs:remoteIndex><zamoNs:zamoNote><zamoNs:accessMode>Param</zamoNs:accessMode>
  <zamoNs:defaultValue>7</zamoNs:defaultValue><zamoNs:valuesEnum>Other_t</zamoNs:valuesEnum></zamoNs:zamoNote>
 </zamoNs:definedVariable>
 <zamoNs:definedVariable><zamoNs:varName>blank</zamoNs:varName><zamoNs:varType>uint8_t</zamoNs:varType>
  <zamoNs:remoteIndex>1</zamoNs:remoteIndex><zamoNs:zamoNote><zamoNs:accessMode>Param </zamoNs:accessMode>
  <zamoNs:defaultValue>7</zamoNs:defaultValue></zamoNs:zamoNote>
 </zamoNs:definedVariable>
 <zamoNs:definedVariable><zamoNs:varName>lower</zamoNs:varName><zamoNs:varType>uint8_t</zamoNs:varType>
  <zamoNs:remoteIndex>1</zamoNs:remoteIndex><zamoNs:zamoNote><zamoNs:accessMode>param</zamoNs:accessMode>
  <zamoNs:defaultValue>7</zamoNs:defaultValue></zamoNs:zamoNote>
 </zamoNs:definedVariable>
</zamoNs:definedVariables></zamoNs:zamoRoot>)";
  Handle h;
  ASSERT_TRUE(h.define(xml)) << h.error();
  // varType naming an enum wins over valuesEnum; a repeated item name keeps
  // its last index; the type-named enum is found by its type name.
  ASSERT_TRUE(h.defaults(valuesXml({{"Motor.Limits.Speed", "A"}, {"t", "B"}}))) << h.error();
  auto file = h.write();
  ASSERT_TRUE(file) << h.error();
  Handle reader;
  ASSERT_TRUE(reader.read(*file));
  EXPECT_EQ(renderedPairs(reader), (std::vector<std::pair<std::string, std::string>>{
                                       {"Motor.Limits.Speed", "5"}, {"t", "2"}}));
  // The speed record is a 4-byte enum value.
  EXPECT_EQ((*file)[34], 4);
  EXPECT_EQ((*file)[37], 0x13);

  for (const char* name : {"Motor", "Motor.Limits", "Speed", "blank", "lower"}) {
    EXPECT_FALSE(h.defaults(valuesXml({{name, "1"}}))) << name;
    EXPECT_EQ(h.error(), std::string("Parameter ") + name + " not found");
  }
}

TEST(ParcodecDefinition, SecondDefinitionMergesAndFailuresKeepWhatWasRead) {
  Handle h;
  ASSERT_TRUE(h.define(
      definitionXml({{"a", "uint8_t"}, {"b", "int8_t"}}, {{"E", "", {{"X", "1"}, {"Y", "2"}}}})));
  ASSERT_TRUE(h.defaults(valuesXml({{"a", "3"}, {"b", "-1"}})));
  // Redefines b (losing its default), replaces E, keeps a with its default.
  ASSERT_TRUE(h.define(definitionXml({{"b", "E"}, {"c", "uint8_t"}}, {{"E", "", {{"Z", "9"}}}},
                                     kUuid, "00000000000000000000000000000001")));
  EXPECT_FALSE(h.defaults(valuesXml({{"b", "X"}})) && h.write().has_value());
  EXPECT_EQ(h.error(), "Value for enum E not found: X");
  ASSERT_TRUE(h.defaults(valuesXml({{"b", "Z"}})));
  auto file = h.write();
  ASSERT_TRUE(file) << h.error();
  Handle reader;
  ASSERT_TRUE(reader.define(definitionXml({{"b", "E"}}, {{"E", "", {{"Z", "9"}}}})));
  ASSERT_TRUE(reader.read(*file));
  EXPECT_EQ(renderedPairs(reader),
            (std::vector<std::pair<std::string, std::string>>{{"a", "3"}, {"b", "Z"}}));

  // Variables before a failing one stay defined, and the new ids stay.
  std::string partial =
      definitionXml({{"d", "uint8_t"}, {"e", "uint8_t"}}, {}, "ffeeddccbbaa99887766554433221100");
  partial = replaced(partial, "<zamoNs:varName>e</zamoNs:varName>", "");
  EXPECT_FALSE(h.define(partial));
  EXPECT_EQ(h.error(), "Missing <zamoNs:varName> statement");
  EXPECT_FALSE(h.defaults(valuesXml({{"d", "1"}})));
  EXPECT_EQ(h.error(), "Project mismatching UUID");
  EXPECT_TRUE(h.defaults(valuesXml({{"d", "1"}}, "ffeeddccbbaa99887766554433221100"))) << h.error();
}

TEST(ParcodecDefaults, ParametersBeforeAFailureStayApplied) {
  Handle h;
  ASSERT_TRUE(h.define(definitionXml({{"a", "uint8_t"}, {"b", "uint8_t"}})));
  std::string xml = valuesXml({{"a", "1"}, {"nope", "2"}, {"b", "3"}});
  xml = replaced(xml, "<Table ", "<Table defparSignature=\"ignored\" ");
  EXPECT_FALSE(h.defaults(xml));
  EXPECT_EQ(h.error(), "Parameter nope not found");
  auto file = h.write();
  ASSERT_TRUE(file);
  EXPECT_EQ(file->size(), 34u + 8 + 1 + 1);
  // Non-Parameter children of the list are passed over.
  xml = replaced(valuesXml({{"b", "4"}}), "<Parameters>", "<Parameters><Comment>x</Comment>");
  EXPECT_TRUE(h.defaults(xml)) << h.error();
  ASSERT_TRUE((file = h.write()));
  EXPECT_EQ(file->size(), 34u + 2 * (8 + 1 + 1));
}

TEST(ParcodecDefaults, InputsWithAndWithoutTheirTerminatingZero) {
  const std::string definition = definitionXml({{"a", "uint8_t"}});
  const std::string values = valuesXml({{"a", "1"}});
  Handle h;
  // Exact length, no NUL counted.
  ASSERT_TRUE(ParcodecSetDefinition(h.get(), definition.data(), unsigned(definition.size())))
      << h.error();
  ASSERT_TRUE(ParcodecAppendDefaults(h.get(), values.data(), unsigned(values.size()))) << h.error();
  // Parsing stops at the first NUL.
  std::string withTail = values + std::string(1, '\0') + "<garbage";
  EXPECT_TRUE(ParcodecAppendDefaults(h.get(), withTail.data(), unsigned(withTail.size())))
      << h.error();
  // A count that cuts the text short leaves a broken document.
  EXPECT_FALSE(ParcodecAppendDefaults(h.get(), values.data(), unsigned(values.size() / 2)));
  EXPECT_EQ(h.error(), "Exception error");
}

// ---- Locale ----------------------------------------------------------------

TEST(ParcodecLocale, NumbersIgnoreTheProcessLocale) {
  // The build generates a decimal-comma locale when it can (LOCPATH).
  const char* previous = std::setlocale(LC_ALL, nullptr);
  std::string saved = previous ? previous : "C";
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "no decimal-comma locale available";
  ASSERT_STREQ(std::localeconv()->decimal_point, ",");
  Handle h;
  bool ok = h.define(definitionXml({{"f", "float"}, {"g", "float"}}));
  ok = ok && h.defaults(valuesXml({{"f", "2.5"}, {"g", "1.2345678"}}));
  auto file = ok ? h.write() : std::nullopt;
  Handle reader;
  bool read = file && reader.read(*file);
  auto pairs = read ? renderedPairs(reader) : std::vector<std::pair<std::string, std::string>>{};
  std::setlocale(LC_ALL, saved.c_str());
  ASSERT_TRUE(file) << h.error();
  EXPECT_EQ(toHex(file->data() + 42 + 1, 4), "00002040");
  EXPECT_EQ(pairs,
            (std::vector<std::pair<std::string, std::string>>{{"f", "2.5"}, {"g", "1.23456776"}}));
}

// Each variable repeats its groups' names: a long group name over many
// variables would make a table out of all proportion to the document, so
// such a definition fails as if memory had run out; ordinary ones load.
TEST(ParcodecDefinition, GroupNamesRepeatedBeyondAllProportionAreRefused) {
  auto grouped = [](size_t groupNameBytes, int variables) {
    std::string xml =
        "<zamoNs:zamoRoot><zamoNs:zamoXMLVersion>1.0</zamoNs:zamoXMLVersion>"
        "<zamoNs:projectIdentity><zamoNs:projectUUID>" +
        std::string(kUuid) + "</zamoNs:projectUUID><zamoNs:paramTableId>" + std::string(kUuid) +
        "</zamoNs:paramTableId></zamoNs:projectIdentity><zamoNs:definedVariables>"
        "<zamoNs:definedVariable><zamoNs:varName>" +
        std::string(groupNameBytes, 'g') + "</zamoNs:varName><zamoNs:definedVariables>";
    for (int i = 0; i < variables; ++i)
      xml += "<zamoNs:definedVariable><zamoNs:varName>v" + std::to_string(i) +
             "</zamoNs:varName><zamoNs:varType>uint8_t</zamoNs:varType><zamoNs:remoteIndex>1"
             "</zamoNs:remoteIndex><zamoNs:zamoNote><zamoNs:accessMode>Param</zamoNs:accessMode>"
             "<zamoNs:defaultValue>1</zamoNs:defaultValue></zamoNs:zamoNote>"
             "</zamoNs:definedVariable>";
    return xml +
           "</zamoNs:definedVariables></zamoNs:definedVariable></zamoNs:definedVariables>"
           "</zamoNs:zamoRoot>";
  };
  Handle fine;
  ASSERT_TRUE(fine.define(grouped(1024, 1000))) << fine.error();
  ASSERT_TRUE(fine.defaults(valuesXml({{std::string(1024, 'g') + ".v999", "7"}}))) << fine.error();
  Handle hostile;
  EXPECT_FALSE(hostile.define(grouped(size_t(128) << 10, 1000)));
  EXPECT_EQ(hostile.error(), "Exception error");
}
