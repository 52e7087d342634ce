// Test support shared by the log codec tests: fixture files, the escaped table
// fields, XML well-formedness and a decimal-comma process locale.
#pragma once

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <locale>
#include <rapidxml/rapidxml.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace logtest {

inline std::string fixturePath(const std::string& name) {
  return std::string(LOGCODEC_FIXTURES) + "/" + name;
}

inline std::string readFixture(const std::string& name) {
  std::ifstream in(fixturePath(name), std::ios::binary);
  EXPECT_TRUE(in.good()) << "missing fixture " << name;
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Table fields escape '\' as "\\" and other bytes as "\xHH".
inline std::string unescapeField(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 >= field.size()) {
      out += field[i];
    } else if (field[i + 1] == '\\') {
      out += '\\';
      ++i;
    } else if (field[i + 1] == 'x' && i + 3 < field.size()) {
      out += char(std::stoi(field.substr(i + 2, 2), nullptr, 16));
      i += 3;
    }
  }
  return out;
}

// The rows of a tab-separated table, '#' lines skipped.
inline std::vector<std::vector<std::string>> readTable(const std::string& name) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(readFixture(name));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
      size_t tab = line.find('\t', start);
      fields.push_back(unescapeField(line.substr(start, tab - start)));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    rows.push_back(fields);
  }
  return rows;
}

// Parses a copy of `xml`; the document lives in the returned holder.
struct ParsedXml {
  std::vector<char> text;
  rapidxml::xml_document<> doc;
  std::string error;
  bool ok = false;
};

inline void parseXml(const std::string& xml, ParsedXml& parsed) {
  parsed.text.assign(xml.begin(), xml.end());
  parsed.text.push_back('\0');
  try {
    parsed.doc.parse<0>(parsed.text.data());
    parsed.ok = true;
  } catch (const rapidxml::parse_error& e) {
    parsed.error = std::string(e.what()) + " at offset " +
                   std::to_string(e.where<char>() - parsed.text.data());
  }
}

inline ::testing::AssertionResult xmlParses(const std::string& xml) {
  ParsedXml parsed;
  parseXml(xml, parsed);
  if (parsed.ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << parsed.error;
}

// Switches the C and C++ global locales to one with a decimal comma for the
// scope's lifetime, when the system has one; `active` tells whether it did.
class DecimalCommaLocale {
 public:
  DecimalCommaLocale() {
    previous_ = std::setlocale(LC_ALL, nullptr);
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8",
                             "it_IT.UTF-8", "nl_NL.UTF-8", "ru_RU.UTF-8", "de_DE.ISO-8859-1"}) {
      if (!std::setlocale(LC_ALL, name)) continue;
      const std::lconv* conv = std::localeconv();
      if (conv && conv->decimal_point && std::string(conv->decimal_point) == ",") {
        try {
          previousGlobal_ = std::locale::global(std::locale(name));
        } catch (const std::exception&) {
        }
        active_ = true;
        name_ = name;
        return;
      }
    }
    std::setlocale(LC_ALL, previous_.c_str());
  }
  ~DecimalCommaLocale() {
    if (!active_) return;
    std::setlocale(LC_ALL, previous_.c_str());
    std::locale::global(previousGlobal_);
  }
  bool active() const { return active_; }
  const std::string& name() const { return name_; }

 private:
  std::string previous_;
  std::locale previousGlobal_;
  std::string name_;
  bool active_ = false;
};

}  // namespace logtest
