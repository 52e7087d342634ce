// Test support shared by the calibration codec tests: the handle, fixture
// files, the codec's calls over strings and a well-formedness check.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "calcodec/calcodec.h"
#include "codeccommon/XmlInput.h"

namespace caltest {

struct HandleDeleter {
  void operator()(CalcodecHandle* h) const { CalcodecDestroyHandle(h); }
};
using Handle = std::unique_ptr<CalcodecHandle, HandleDeleter>;

inline Handle makeHandle() { return Handle(CalcodecCreateHandle()); }

inline std::string fixturePath(const std::string& name) {
  return std::string(CALCODEC_FIXTURES) + "/" + name;
}

inline std::string readFixture(const std::string& name) {
  std::ifstream in(fixturePath(name), std::ios::binary);
  EXPECT_TRUE(in.good()) << "missing fixture " << name;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An XML text handed over as the command-line tool does: with its zero byte
// counted.
inline bool addDefinition(CalcodecHandle* h, const std::string& xml) {
  return CalcodecAddDefinition(h, xml.c_str(), unsigned(xml.size() + 1));
}
inline bool mergeDataSet(CalcodecHandle* h, const std::string& xml) {
  return CalcodecMergeDataSet(h, xml.c_str(), unsigned(xml.size() + 1));
}
inline bool mergeDataValue(CalcodecHandle* h, const std::string& xml) {
  return CalcodecMergeDataValue(h, xml.c_str(), unsigned(xml.size() + 1));
}

// The record, or an empty text (and a test failure) when writing failed.
inline std::string writeRecord(CalcodecHandle* h) {
  void* data = nullptr;
  int length = -1;
  if (!CalcodecOutToStdRecord(h, &data, &length)) {
    ADD_FAILURE() << "CalcodecOutToStdRecord: " << CalcodecGetLastError(h);
    return std::string();
  }
  std::string bytes(static_cast<const char*>(data), size_t(length));
  std::free(data);
  return bytes;
}

inline bool readRecord(CalcodecHandle* h, const std::string& bytes) {
  // Exactly the record's size on the heap, so a read past its end is caught.
  std::vector<char> copy(bytes.begin(), bytes.end());
  return CalcodecInFromStdRecord(h, copy.empty() ? nullptr : copy.data(), unsigned(copy.size()));
}

inline std::string valuesXml(CalcodecHandle* h) {
  char* xml = nullptr;
  if (!CalcodecGetValuesXML(h, &xml)) {
    ADD_FAILURE() << "CalcodecGetValuesXML: " << CalcodecGetLastError(h);
    return std::string();
  }
  std::string text(xml);
  std::free(xml);
  return text;
}

// True when the text is a well-formed document whose root is `root`.
inline ::testing::AssertionResult parsesWithRoot(const std::string& xml, const char* root) {
  try {
    codec::XmlInput input(xml.data(), uint32_t(xml.size()));
    if (!input.root(root))
      return ::testing::AssertionFailure() << "no <" << root << "> in\n" << xml;
    return ::testing::AssertionSuccess();
  } catch (const std::exception& e) {
    return ::testing::AssertionFailure() << "does not parse (" << e.what() << "):\n" << xml;
  }
}

}  // namespace caltest
