// The Status console: drives the status client for one device and prints
// its events as stamped lines.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "translayer/HwId.h"

namespace protoprobe {

// Each byte as two lower-case hex digits and a blank.
std::string hexDump(const uint8_t* bytes, size_t count);

// The text of a status event after "< " (data and length as the library
// hands them over); *known is false for an event code the console does
// not know.
std::string statusEventText(uint64_t event, const void* data, uint64_t length, bool* known);

// The console of the table: commands from standard input.
int runStatusConsole(const translayer::HwId& hwid, const std::vector<std::string>& args);

}  // namespace protoprobe
