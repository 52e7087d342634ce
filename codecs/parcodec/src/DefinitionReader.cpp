// The definition reader: project ids, enums and the variable tree of the
// parameter definition XML.
#include <new>
#include <string>
#include <string_view>

#include "NumberText.h"
#include "ParameterTable.h"
#include "XmlRequire.h"
#include "codeccommon/CodecError.h"
#include "codeccommon/XmlInput.h"

namespace parcodec {

namespace {

using Node = rapidxml::xml_node<>;

struct TypeName {
  std::string_view text;
  int code;
};
constexpr TypeName kTypeNames[] = {
    {"int8_t", kInt8},     {"uint8_t", kUInt8},   {"int16_t", kInt16},
    {"uint16_t", kUInt16}, {"int32_t", kInt32},   {"uint32_t", kUInt32},
    {"int64_t", kInt64},   {"uint64_t", kUInt64}, {"float", kFloat},
};

// 0 for a text outside the table (an enum's name).
int typeFromText(std::string_view text) {
  for (const auto& t : kTypeNames)
    if (t.text == text) return t.code;
  return 0;
}

void loadEnum(ParameterTable& table, Node* definedEnum) {
  std::string name = codec::text(requireChild(definedEnum, "zamoNs:enumSimpleName"));
  if (name.empty()) name = codec::text(requireChild(definedEnum, "zamoNs:enumTypeName"));
  Node* list = requireChild(definedEnum, "zamoNs:enumItems");
  EnumItems items;
  // Every element after the first item is read as an item, whatever its
  // name; text there has no item name or index to take.
  for (Node* item = codec::firstChild(list, "zamoNs:enumItem"); item; item = item->next_sibling()) {
    if (item->type() != rapidxml::node_element)
      codec::fail("Unexpected text in zamoNs:enumItems of enum " + name);
    std::string itemName = requireName(item, "zamoNs:enumItemName");
    items.insert_or_assign(std::move(itemName),
                           codec::text(requireChild(item, "zamoNs:enumItemIndex")));
  }
  table.enums.insert_or_assign(std::move(name), std::move(items));
}

void loadVariable(ParameterTable& table, Node* definedVariable, std::string fullName) {
  Node* note = requireChild(definedVariable, "zamoNs:zamoNote");
  if (codec::text(requireChild(note, "zamoNs:accessMode")) != "Param") return;
  Variable var;
  var.name = fullName;
  if (Node* valuesEnum = codec::firstChild(note, "zamoNs:valuesEnum"))
    var.enumName = codec::text(valuesEnum);
  std::string typeText = codec::text(requireChild(definedVariable, "zamoNs:varType"));
  var.type = typeFromText(typeText);
  if (var.type == 0) {
    var.type = kUInt32;
    var.enumName = std::move(typeText);
  }
  bool overflow = false;
  int64_t index = toInt64(
      parseDecimal(codec::text(requireChild(definedVariable, "zamoNs:remoteIndex"))), &overflow);
  var.remoteIndex = uint16_t(uint64_t(index) & 0xFFFF);
  var.defaultText = codec::text(requireChild(note, "zamoNs:defaultValue"));
  table.variables.insert_or_assign(std::move(fullName), std::move(var));
}

// Every variable repeats the names of its groups: a long group name over
// many variables would make the table out of all proportion to the
// document. The full names made are counted and refused beyond that, as if
// memory had run out.
struct NameBudget {
  uint64_t inputBytes = 0;
  uint64_t used = 0;
  void take(size_t bytes) {
    used += bytes;
    if (codec::resultTooLarge(used, inputBytes)) throw std::bad_alloc();
  }
};

void walkVariables(ParameterTable& table, Node* list, const std::string& prefix,
                   NameBudget& budget) {
  for (Node* v = codec::firstChild(list, "zamoNs:definedVariable"); v;
       v = codec::nextSibling(v, "zamoNs:definedVariable")) {
    std::string varName = requireName(v, "zamoNs:varName");
    if (!prefix.empty()) budget.take(prefix.size() + 1 + varName.size());
    std::string fullName = prefix.empty() ? std::move(varName) : prefix + "." + varName;
    if (Node* group = codec::firstChild(v, "zamoNs:definedVariables"))
      walkVariables(table, group, fullName, budget);
    else
      loadVariable(table, v, std::move(fullName));
  }
}

}  // namespace

void loadDefinition(ParameterTable& table, const char* xml, uint32_t length) {
  codec::XmlInput input(xml, length);
  Node* root = input.root("zamoNs:zamoRoot");
  if (!root) failMissing("zamoNs:zamoRoot");
  if (codec::text(requireChild(root, "zamoNs:zamoXMLVersion")) != "1.0")
    codec::fail("Definition parameter XML version unsupported");

  Node* identity = requireChild(root, "zamoNs:projectIdentity");
  Id16 id{};
  if (!decodeHexId(codec::text(requireChild(identity, "zamoNs:projectUUID")), id))
    codec::fail("Definition parameter source wrong projectUUID size");
  table.projectUUID = id;
  if (!decodeHexId(codec::text(requireChild(identity, "zamoNs:paramTableId")), id))
    codec::fail("Definition parameter source wrong paramTableId size");
  table.paramTableId = id;

  if (Node* enums = codec::firstChild(root, "zamoNs:definedEnums"))
    for (Node* e = codec::firstChild(enums, "zamoNs:definedEnum"); e;
         e = codec::nextSibling(e, "zamoNs:definedEnum"))
      loadEnum(table, e);

  NameBudget budget{length};
  walkVariables(table, requireChild(root, "zamoNs:definedVariables"), std::string(), budget);
}

}  // namespace parcodec
