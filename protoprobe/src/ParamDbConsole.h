// The ParamDB console: drives the parameter database client for one device,
// prints its events as stamped lines, and keeps up to a few parameters on
// screen with "autoread", re-reading each as soon as its value arrives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "translayer/HwId.h"

namespace protoprobe {

// The text of a parameter database event after "< " (data and length as
// the library hands them over); *known is false for an event code the
// console does not know.
std::string parDbEventText(uint64_t event, const void* data, uint64_t length, bool* known);

// A parameter index as the console reads it: hex text of exactly 2 bytes
// (3 or 4 digits), big-endian. False for anything else.
bool parseParamIndex(const std::string& text, uint16_t* index);

// The console of the table: commands from standard input.
int runParamDbConsole(const translayer::HwId& hwid, const std::vector<std::string>& args);

}  // namespace protoprobe
