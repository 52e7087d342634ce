// Generated inputs for the codec benchmark, built from the file layouts.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace codecbench {

using Bytes = std::vector<char>;

// A device log stream of at least minBytes: version 1 events with three
// snapshots each, every tenth followed by a timestamp-only entry.
Bytes makeLogStream(size_t minBytes);

// A scope capture of at least minBytes: 16-bit words, four channels of 4-byte
// samples sampled at every step, no trigger expected, full blocks.
Bytes makeScopeCapture(size_t minBytes);

// A parameter table definition of `variables` leaves in groups of 50, with an
// enum, and a values document giving every one of them a default.
struct ParameterTable {
  std::string definition;
  std::string values;
};
ParameterTable makeParameterTable(int variables);

// A binary object dictionary of `records` objects with short values, as a
// device carries.
Bytes makeObjectDictionary(int records);

}  // namespace codecbench
