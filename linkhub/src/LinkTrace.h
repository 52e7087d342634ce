// Link frames in words, for the frames trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace linkhub {

// One frame as the trace shows it, e.g. "I N(S)=2 N(R)=5 ch 0 first pid 127
// last: 12 bytes 01 02 ..." or "S ready N(R)=3 P/F" or "U 0x8F reset request".
std::string describeLinkFrame(const uint8_t* frame, size_t length);

}  // namespace linkhub
