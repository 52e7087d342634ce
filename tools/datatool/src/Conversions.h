// The four conversions datatool runs. Each raises its failure as
// toolsupport::ToolError carrying the message to print; output files already
// written stay.
#pragma once

#include <string>
#include <vector>

namespace datatool {

using Files = std::vector<std::string>;

// Decodes every log into one list and prints it as XML, or as text with plain.
void decodeLogs(const Files& logs, bool plain);

// Decodes each capture and prints its XML as soon as it is done.
void decodeScopeCaptures(const Files& captures);

// With a binary file to decode, writes its values as XML; otherwise writes
// the binary parameter file built from the defaults files, in their order.
void convertParameters(const std::string& definition, const Files& defaults,
                       const std::string* binaryToDecode, const std::string& output);

// Binary dictionary to XML (fromBinary) or XML to binary.
void convertObjectDictionary(const std::string& input, bool fromBinary, const std::string& output);

}  // namespace datatool
