// The three XML inputs: definitions, the data set and data values.
#include <string>

#include "CalcodecHandle.h"
#include "codeccommon/CodecError.h"
#include "codeccommon/XmlInput.h"

namespace calcodec {

namespace {

using Node = rapidxml::xml_node<>;

// The document's root element, after its version has been checked.
Node* rootOf(codec::XmlInput& input, const char* name, const char* unsupported) {
  Node* root = input.root(name);
  if (!root) codec::fail(std::string("Missing root element: ") + name);
  if (auto* version = codec::attribute(root, "version"); version && codec::text(version) != "1.0")
    codec::fail(unsupported);
  return root;
}

std::string requiredName(Node* record) {
  Node* name = codec::firstChild(record, "Name");
  if (!name) codec::fail("Missing Name");
  return codec::text(name);
}

// The "index" attribute of a data set or data value record, range-checked.
uint8_t indexOf(Node* record, const std::string& name) {
  auto* index = codec::attribute(record, "index");
  if (!index) codec::fail("Missing index from data set: " + name);
  int64_t value = parseInteger(codec::text(index));
  if (value < 0 || value > int64_t(kMaxIndex)) codec::fail("Invalid index of data set: " + name);
  return uint8_t(value);
}

std::string nameAndIndex(const std::string& name, uint8_t index) {
  return name + " index " + std::to_string(index);
}

void applyMandatoryAndDefault(CalEntry& entry, Node* record) {
  if (Node* mandatory = codec::firstChild(record, "Mandatory"))
    entry.mandatory = parseBoolean(codec::text(mandatory));
  if (Node* value = codec::firstChild(record, "Default")) parseValue(entry, codec::text(value));
}

}  // namespace

void addDefinition(CalcodecHandle& handle, const char* xml, uint32_t length) {
  // The fingerprint covers exactly the bytes given, whether or not they load.
  if (xml) handle.crc = codec::crc32Variant(handle.crc, xml, length);
  codec::XmlInput input(xml, length);
  Node* root = rootOf(input, "Records", "Unsupported data definition structure");
  for (Node* record = codec::firstChild(root, "Record"); record;
       record = codec::nextSibling(record, "Record")) {
    CalEntry entry;
    entry.name = requiredName(record);
    Node* datatype = codec::firstChild(record, "Datatype");
    if (!datatype) codec::fail("Missing Datatype");
    std::string typeText = codec::text(datatype);
    if (!parseType(typeText, &entry.type)) codec::fail("Invalid data type: " + typeText);
    if (Node* unit = codec::firstChild(record, "Unit")) entry.unit = codec::text(unit);
    if (Node* description = codec::firstChild(record, "Description"))
      entry.description = codec::text(description);
    applyMandatoryAndDefault(entry, record);
    if (handle.definitions.count(entry.name)) codec::fail("Entry already defined: " + entry.name);
    std::string name = entry.name;
    handle.definitions.emplace(std::move(name), std::move(entry));
  }
}

void mergeDataSet(CalcodecHandle& handle, const char* xml, uint32_t length) {
  codec::XmlInput input(xml, length);
  Node* root = rootOf(input, "Dataset", "Unsupported data set structure");
  for (Node* record = codec::firstChild(root, "Record"); record;
       record = codec::nextSibling(record, "Record")) {
    std::string name = requiredName(record);
    uint8_t index = indexOf(record, name);
    auto definition = handle.definitions.find(name);
    if (definition == handle.definitions.end()) codec::fail("Data set not found: " + name);
    CalEntry entry = definition->second;
    entry.index = index;
    applyMandatoryAndDefault(entry, record);
    CalDataSetKey key(name, index);
    if (handle.dataSet.count(key))
      codec::fail("Data set already defined: " + nameAndIndex(name, index));
    handle.dataSet.emplace(std::move(key), std::move(entry));
  }
}

void mergeDataValue(CalcodecHandle& handle, const char* xml, uint32_t length) {
  codec::XmlInput input(xml, length);
  Node* root = rootOf(input, "Datavalue", "Unsupported data value structure");
  for (Node* record = codec::firstChild(root, "Record"); record;
       record = codec::nextSibling(record, "Record")) {
    std::string name = requiredName(record);
    uint8_t index = indexOf(record, name);
    auto found = handle.dataSet.find(CalDataSetKey(name, index));
    if (found == handle.dataSet.end())
      codec::fail("Data set not found: " + nameAndIndex(name, index));
    CalEntry& entry = found->second;
    if (entry.valued) codec::fail("Entry already valued: " + nameAndIndex(name, index));
    Node* value = codec::firstChild(record, "Value");
    if (!value) codec::fail("Invalid datavalue entry: " + nameAndIndex(name, index));
    parseValue(entry, codec::text(value));
    entry.valued = true;
  }
}

}  // namespace calcodec
