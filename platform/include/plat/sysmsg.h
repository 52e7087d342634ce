// The system texts of the Win32 error and RPC status codes the layers produce
// (what FormatMessage would give), without a trailing line break.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

// Unknown codes give "Unknown error <code>".
std::string systemMessage(uint32_t code);

}  // namespace plat
