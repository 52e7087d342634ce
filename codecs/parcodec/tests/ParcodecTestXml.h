// Builders of small parameter definition and values documents for the tests
// and fuzzers, and a reader of rendered values XML that uses RapidXML the way
// any consumer of the codec's output would.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <rapidxml/rapidxml.hpp>
#include <string>
#include <utility>
#include <vector>

#include "parcodec/parcodec.h"

namespace parcodec_test {

inline constexpr const char* kUuid = "00112233445566778899aabbccddeeff";
inline constexpr const char* kTableId = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";

// All five predefined entities: what a careful producer of input XML writes.
inline std::string escapeAll(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

struct VarSpec {
  VarSpec(std::string n, std::string t, std::string e = "", std::string r = "1",
          std::string a = "Param")
      : name(std::move(n)),
        type(std::move(t)),
        valuesEnum(std::move(e)),
        remoteIndex(std::move(r)),
        access(std::move(a)) {}
  std::string name;  // flat varName; dots make no groups here
  std::string type;
  std::string valuesEnum;  // empty: none
  std::string remoteIndex;
  std::string access;
};

struct EnumSpec {
  std::string simpleName;
  std::string typeName;
  std::vector<std::pair<std::string, std::string>> items;  // name, index text
};

inline std::string element(const std::string& name, const std::string& text) {
  return "<zamoNs:" + name + ">" + escapeAll(text) + "</zamoNs:" + name + ">";
}

inline std::string variableXml(const VarSpec& v) {
  std::string s = "<zamoNs:definedVariable>" + element("varName", v.name) +
                  element("varType", v.type) + element("remoteIndex", v.remoteIndex) +
                  "<zamoNs:zamoNote>" + element("accessMode", v.access) +
                  element("defaultValue", "0");
  if (!v.valuesEnum.empty()) s += element("valuesEnum", v.valuesEnum);
  return s + "</zamoNs:zamoNote></zamoNs:definedVariable>\n";
}

inline std::string enumXml(const EnumSpec& e) {
  std::string s = "<zamoNs:definedEnum>" + element("enumSimpleName", e.simpleName) +
                  element("enumTypeName", e.typeName) + "<zamoNs:enumItems>";
  for (const auto& [name, index] : e.items)
    s += "<zamoNs:enumItem>" + element("enumItemName", name) + element("enumItemIndex", index) +
         "</zamoNs:enumItem>";
  return s + "</zamoNs:enumItems></zamoNs:definedEnum>\n";
}

inline std::string definitionXml(const std::vector<VarSpec>& vars,
                                 const std::vector<EnumSpec>& enums = {},
                                 const std::string& uuid = kUuid,
                                 const std::string& tableId = kTableId) {
  std::string s = "<?xml version=\"1.0\"?>\n<zamoNs:zamoRoot>\n" +
                  element("zamoXMLVersion", "1.0") + "\n<zamoNs:projectIdentity>" +
                  element("projectUUID", uuid) + element("paramTableId", tableId) +
                  "</zamoNs:projectIdentity>\n<zamoNs:definedEnums>\n";
  for (const auto& e : enums) s += enumXml(e);
  s += "</zamoNs:definedEnums>\n<zamoNs:definedVariables>\n";
  for (const auto& v : vars) s += variableXml(v);
  return s + "</zamoNs:definedVariables>\n</zamoNs:zamoRoot>\n";
}

inline std::string valuesXml(const std::vector<std::pair<std::string, std::string>>& values,
                             const std::string& uuid = kUuid) {
  std::string s =
      "<?xml version=\"1.0\"?>\n<Table UUID=\"" + escapeAll(uuid) + "\">\n<Parameters>\n";
  for (const auto& [name, value] : values)
    s += "<Parameter><Name>" + escapeAll(name) + "</Name><Value>" + escapeAll(value) +
         "</Value></Parameter>\n";
  return s + "</Parameters>\n</Table>\n";
}

// A rendered values document read back: its ids and (name, value) pairs in
// document order. Empty when it is not well-formed or not shaped as rendered.
struct RenderedValues {
  std::string uuid;
  std::string signature;
  std::vector<std::pair<std::string, std::string>> parameters;
};

inline std::optional<RenderedValues> parseRendered(const char* xml) {
  std::vector<char> copy(xml, xml + std::strlen(xml) + 1);
  rapidxml::xml_document<> doc;
  try {
    doc.parse<0>(copy.data());
  } catch (...) {
    return std::nullopt;
  }
  auto* table = doc.first_node("Table");
  if (!table) return std::nullopt;
  auto* uuid = table->first_attribute("UUID");
  auto* signature = table->first_attribute("defparSignature");
  auto* list = table->first_node("Parameters");
  if (!uuid || !signature || !list) return std::nullopt;
  RenderedValues out{uuid->value(), signature->value(), {}};
  for (auto* p = list->first_node(); p; p = p->next_sibling()) {
    auto* name = p->first_node("Name");
    auto* value = p->first_node("Value");
    if (std::strcmp(p->name(), "Parameter") != 0 || !name || !value) return std::nullopt;
    out.parameters.emplace_back(std::string(name->value(), name->value_size()),
                                std::string(value->value(), value->value_size()));
  }
  return out;
}

// Owns a handle for a test's lifetime.
class Handle {
 public:
  Handle() : handle_(ParcodecCreateHandle()) {}
  ~Handle() { ParcodecDestroyHandle(handle_); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ParcodecHandle* get() const { return handle_; }
  std::string error() const { return ParcodecGetLastError(handle_); }

  // Texts are passed with their terminating NUL counted, as the tools do.
  bool define(const std::string& xml) {
    return ParcodecSetDefinition(handle_, xml.c_str(), unsigned(xml.size() + 1));
  }
  bool defaults(const std::string& xml) {
    return ParcodecAppendDefaults(handle_, xml.c_str(), unsigned(xml.size() + 1));
  }
  bool read(const std::vector<uint8_t>& file) {
    // An exact-size heap copy, so a read past the end is caught.
    void* copy = std::malloc(file.empty() ? 1 : file.size());
    if (!file.empty()) std::memcpy(copy, file.data(), file.size());
    bool ok = ParcodecInFromParFile(handle_, copy, unsigned(file.size()));
    std::free(copy);
    return ok;
  }
  std::optional<std::vector<uint8_t>> write() {
    void* data = nullptr;
    int length = -1;
    if (!ParcodecOutToDefParFile(handle_, &data, &length)) return std::nullopt;
    std::vector<uint8_t> file(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + length);
    std::free(data);
    return file;
  }
  std::optional<std::string> render() {
    char* xml = nullptr;
    if (!ParcodecGetDataAsXML(handle_, &xml)) return std::nullopt;
    std::string text(xml);
    std::free(xml);
    return text;
  }

 private:
  ParcodecHandle* handle_;
};

}  // namespace parcodec_test
