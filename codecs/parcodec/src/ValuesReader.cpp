// The values reader: the parameter values XML applied as defaults.
#include "NumberText.h"
#include "ParameterTable.h"
#include "XmlRequire.h"
#include "codeccommon/CodecError.h"
#include "codeccommon/XmlInput.h"

namespace parcodec {

void applyDefaults(ParameterTable& table, const char* xml, uint32_t length) {
  using Node = rapidxml::xml_node<>;
  codec::XmlInput input(xml, length);
  Node* root = input.root("Table");
  if (!root) failMissing("Table");
  rapidxml::xml_attribute<>* uuid = codec::attribute(root, "UUID");
  if (!uuid) codec::fail("Missing mandatory project UUID from default parameters definition");
  Id16 id{};
  if (!decodeHexId(codec::text(uuid), id))
    codec::fail("Definition parameter source wrong projectUUID size");
  if (id != table.projectUUID) codec::fail("Project mismatching UUID");
  Node* parameters = codec::firstChild(root, "Parameters");
  if (!parameters) codec::fail("Missing parameters list");

  for (Node* p = codec::firstChild(parameters, "Parameter"); p;
       p = codec::nextSibling(p, "Parameter")) {
    Node* name = requireChild(p, "Name");
    Node* value = requireChild(p, "Value");
    auto it = table.variables.find(codec::text(name));
    if (it == table.variables.end()) codec::fail("Parameter " + codec::text(name) + " not found");
    it->second.defaultText = codec::text(value);
    it->second.hasDefault = true;
  }
}

}  // namespace parcodec
