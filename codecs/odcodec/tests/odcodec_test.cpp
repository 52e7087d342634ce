#include "odcodec/odcodec.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <rapidxml/rapidxml.hpp>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path kVectors = ODCODEC_VECTOR_DIR;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A result of one export: the error text, or the output.
struct Result {
  std::optional<std::string> error;
  std::string output;
};

// The input goes in a heap block of exactly its size, so a read past the end
// shows under AddressSanitizer.
struct ExactCopy {
  explicit ExactCopy(const std::string& s) : p(static_cast<char*>(std::malloc(s.size() + 1))) {
    std::memcpy(p, s.data(), s.size());
  }
  ~ExactCopy() { std::free(p); }
  char* p;
};

Result toXml(const std::string& bytes) {
  ExactCopy in(bytes);
  char* xml = reinterpret_cast<char*>(0x1);
  const char* err = OdcodecToXML(in.p, unsigned(bytes.size()), &xml);
  Result r;
  if (err) {
    r.error = err;
    std::free(const_cast<char*>(err));
    EXPECT_EQ(xml, reinterpret_cast<char*>(0x1)) << "output touched on failure";
  } else {
    r.output = xml;
    std::free(xml);
  }
  return r;
}

Result fromXml(const std::string& text, bool countTheZero = true) {
  // The tools hand the text over with its terminating zero counted.
  std::string withZero = text + (countTheZero ? std::string(1, '\0') : std::string());
  ExactCopy in(withZero);
  void* data = reinterpret_cast<void*>(0x1);
  int length = -7;
  const char* err = OdcodecFromXML(in.p, unsigned(withZero.size()), &data, &length);
  Result r;
  if (err) {
    r.error = err;
    std::free(const_cast<char*>(err));
    EXPECT_EQ(data, reinterpret_cast<void*>(0x1)) << "output touched on failure";
    EXPECT_EQ(length, -7) << "output touched on failure";
  } else {
    r.output.assign(static_cast<char*>(data), size_t(length));
    std::free(data);
  }
  return r;
}

void expectWellFormed(const std::string& xml) {
  std::vector<char> copy(xml.begin(), xml.end());
  copy.push_back('\0');
  rapidxml::xml_document<> doc;
  ASSERT_NO_THROW(doc.parse<0>(copy.data())) << xml;
  ASSERT_NE(doc.first_node("ObjectDictionary"), nullptr);
}

std::vector<fs::path> filesWithExtension(const fs::path& dir, const char* ext) {
  std::vector<fs::path> out;
  for (auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file() && e.path().extension() == ext) out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += char(b);
  return s;
}

std::string dictionary(const std::string& objects, const std::string& rootAttrs = "version=\"1\"") {
  return "<ObjectDictionary " + rootAttrs + "><Objects>" + objects +
         "</Objects></ObjectDictionary>";
}

}  // namespace

// Vectors written by tests/make_vectors.py from the layouts alone: file to XML
// gives the expected text, and the text gives back the same bytes.
TEST(OdcodecVectors, BinaryToXmlAndBack) {
  auto bins = filesWithExtension(kVectors, ".bin");
  ASSERT_GE(bins.size(), 8u);
  for (const auto& bin : bins) {
    SCOPED_TRACE(bin.filename().string());
    std::string file = readFile(bin);
    std::string expectedXml = readFile(fs::path(bin).replace_extension(".xml"));
    Result x = toXml(file);
    ASSERT_FALSE(x.error) << *x.error;
    EXPECT_EQ(x.output, expectedXml);
    expectWellFormed(x.output);
    for (bool countTheZero : {true, false}) {
      Result b = fromXml(x.output, countTheZero);
      ASSERT_FALSE(b.error) << *b.error;
      EXPECT_EQ(b.output, file);
    }
  }
}

TEST(OdcodecVectors, AcceptedXmlSpellings) {
  auto xmls = filesWithExtension(kVectors / "from-xml", ".xml");
  ASSERT_GE(xmls.size(), 5u);
  for (const auto& path : xmls) {
    SCOPED_TRACE(path.filename().string());
    Result b = fromXml(readFile(path));
    ASSERT_FALSE(b.error) << *b.error;
    EXPECT_EQ(b.output, readFile(fs::path(path).replace_extension(".bin")));
    // And the canonical rendering of those bytes comes back to them; the
    // reader does not range-test the version, the binary side does.
    Result x = toXml(b.output);
    if (uint8_t(b.output[0]) >= 2 || b.output[1] != 0) {
      ASSERT_TRUE(x.error);
      EXPECT_EQ(x.error->rfind("Object dictionary file version unsupported: ", 0), 0u);
      continue;
    }
    ASSERT_FALSE(x.error) << *x.error;
    expectWellFormed(x.output);
    EXPECT_EQ(fromXml(x.output).output, b.output);
  }
}

// Cutting a file anywhere but at a record boundary must be refused, never
// read past: every length in it is checked before use.
TEST(OdcodecBinary, EveryTruncationIsCaught) {
  std::string file = readFile(kVectors / "every_length.bin");
  std::set<size_t> boundaries = {2};
  for (size_t at = 2; at < file.size();) {
    at += 4 + (uint8_t(file[at + 3]) & 0x7f);
    boundaries.insert(at);
  }
  ASSERT_EQ(boundaries.size(), 129u);
  ASSERT_EQ(*boundaries.rbegin(), file.size());
  for (size_t n = 0; n <= file.size(); ++n) {
    Result r = toXml(file.substr(0, n));
    if (boundaries.count(n)) {
      ASSERT_FALSE(r.error) << n << ": " << *r.error;
      expectWellFormed(r.output);
    } else {
      ASSERT_TRUE(r.error) << n;
      ASSERT_EQ(*r.error, "Out of input data") << n;
    }
  }
}

TEST(OdcodecBinary, Errors) {
  struct Case {
    const char* what;
    std::string file;
    const char* error;
  } cases[] = {
      {"empty", "", "Out of input data"},
      {"half a version", bytes({1}), "Out of input data"},
      {"version 2", bytes({2, 0}), "Object dictionary file version unsupported: 2"},
      {"version 65535", bytes({0xff, 0xff, 0, 0, 0, 0}),
       "Object dictionary file version unsupported: 65535"},
      {"header of 3 bytes", bytes({1, 0, 0x18, 0x10, 2}), "Out of input data"},
      {"value one byte short", bytes({1, 0, 0x18, 0x10, 2, 4, 1, 2, 3}), "Out of input data"},
      {"127-byte value announced, none there", bytes({1, 0, 0, 0, 0, 0xff}), "Out of input data"},
  };
  for (const auto& c : cases) {
    Result r = toXml(c.file);
    ASSERT_TRUE(r.error) << c.what;
    EXPECT_EQ(*r.error, c.error) << c.what;
  }
  // No data at all, whatever the count says.
  char* xml = nullptr;
  const char* err = OdcodecToXML(nullptr, 10, &xml);
  ASSERT_NE(err, nullptr);
  EXPECT_STREQ(err, "Out of input data");
  std::free(const_cast<char*>(err));
  EXPECT_EQ(xml, nullptr);
}

TEST(OdcodecXml, Errors) {
  const std::string okObject = "<Object><Index>1</Index><SubIndex>0</SubIndex></Object>";
  auto withHex = [](const std::string& digits) {
    return dictionary("<Object><Index>1</Index><SubIndex>0</SubIndex><HexValue>" + digits +
                      "</HexValue></Object>");
  };
  struct Case {
    const char* what;
    std::string xml;
    const char* error;
  } cases[] = {
      {"no root element", "<Dictionary version=\"1\"><Objects/></Dictionary>",
       "Missing object dictionary root element"},
      {"empty text", "", "Missing object dictionary root element"},
      {"no version", dictionary(okObject, "release=\"1\""),
       "Missing mandatory object dictionary version"},
      {"no Objects", "<ObjectDictionary version=\"1\"><Object/></ObjectDictionary>",
       "Missing objects list"},
      {"no Index", dictionary("<Object><SubIndex>0</SubIndex></Object>"),
       "Missing <Index> statement"},
      {"no SubIndex", dictionary("<Object><Index>1</Index></Object>"),
       "Missing <SubIndex> statement"},
      {"error in a later object", dictionary(okObject + "<Object><Index>2</Index></Object>"),
       "Missing <SubIndex> statement"},
      {"empty HexValue", withHex(""), "Invalid <HexValue> data"},
      {"one digit", withHex("a"), "Invalid <HexValue> data"},
      {"odd count, numeric form", withHex("abc"), "Invalid <HexValue> data"},
      {"odd count, byte form", withHex("0102030405060"), "Invalid <HexValue> data"},
      {"255 digits", withHex(std::string(255, '1')), "Invalid <HexValue> data"},
      {"256 digits", withHex(std::string(256, '1')), "Invalid <HexValue> data"},
      {"syntax error", "<ObjectDictionary version=\"1\"><Objects></ObjectDictionary>",
       "Exception error"},
      {"version without digits", dictionary(okObject, "version=\"v1\""), "Exception error"},
      {"version beyond 32 bits", dictionary(okObject, "version=\"2147483648\""), "Exception error"},
      {"Index without digits",
       dictionary("<Object><Index>zz</Index><SubIndex>0</SubIndex></Object>"), "Exception error"},
      {"Index beyond 32 bits",
       dictionary("<Object><Index>100000000</Index><SubIndex>0</SubIndex></Object>"),
       "Exception error"},
      {"ismappable without digits",
       dictionary("<Object ismappable=\"yes\"><Index>1</Index><SubIndex>0</SubIndex></Object>"),
       "Exception error"},
      {"value pair without digits", withHex("zz"), "Exception error"},
  };
  for (const auto& c : cases) {
    Result r = fromXml(c.xml);
    ASSERT_TRUE(r.error) << c.what;
    EXPECT_EQ(*r.error, c.error) << c.what;
  }
}

TEST(OdcodecXml, HexValueLengthLimits) {
  // 254 digits is the longest value the flags can carry (127 bytes).
  std::string digits;
  for (int i = 0; i < 127; ++i) digits += "a5";
  Result r =
      fromXml(dictionary("<Object ismappable=\"1\"><Index>1</Index><SubIndex>0</SubIndex>"
                         "<HexValue>" +
                         digits + "</HexValue></Object>"));
  ASSERT_FALSE(r.error) << *r.error;
  ASSERT_EQ(r.output.size(), 2u + 4u + 127u);
  EXPECT_EQ(uint8_t(r.output[5]), 0x80 | 127);
  EXPECT_EQ(r.output.substr(6), std::string(127, char(0xa5)));

  // The smallest, and the switch from number (last byte first) to file
  // order between 8 and 10 digits.
  struct Case {
    const char* digits;
    std::string value;
  } cases[] = {
      {"7f", bytes({0x7f})},
      {"01020304", bytes({4, 3, 2, 1})},
      {"0102030405", bytes({1, 2, 3, 4, 5})},
  };
  for (const auto& c : cases) {
    Result v = fromXml(dictionary("<Object><Index>1</Index><SubIndex>0</SubIndex><HexValue>" +
                                  std::string(c.digits) + "</HexValue></Object>"));
    ASSERT_FALSE(v.error) << c.digits << ": " << *v.error;
    EXPECT_EQ(uint8_t(v.output[5]), c.value.size()) << c.digits;
    EXPECT_EQ(v.output.substr(6), c.value) << c.digits;
  }
}

TEST(OdcodecXml, ObjectsWithoutObjectGiveTheVersionAlone) {
  for (const char* objects : {"<Objects/>", "<Objects></Objects>", "<Objects><Note/></Objects>"}) {
    Result r =
        fromXml("<ObjectDictionary version=\"1\">" + std::string(objects) + "</ObjectDictionary>");
    ASSERT_FALSE(r.error) << objects << ": " << *r.error;
    EXPECT_EQ(r.output, bytes({1, 0})) << objects;
  }
}

TEST(OdcodecXml, NullOutputsAreRefused) {
  std::string text = dictionary("");
  void* data = nullptr;
  const char* err = OdcodecFromXML(text.c_str(), unsigned(text.size()), &data, nullptr);
  ASSERT_NE(err, nullptr);
  EXPECT_STREQ(err, "Exception error");
  std::free(const_cast<char*>(err));
  EXPECT_EQ(data, nullptr);
  err = OdcodecToXML("\x01\x00", 2, nullptr);
  ASSERT_NE(err, nullptr);
  std::free(const_cast<char*>(err));
}
