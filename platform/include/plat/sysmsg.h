// The system texts of the Win32 error and RPC status codes the layers produce
// (what FormatMessage would give), without a trailing line break. (errno
// values become these codes through lastSystemError in handle.h.)
#pragma once

#include <cstdint>
#include <string>

namespace plat {

// The text of `code`; false (and *text untouched) when the table has none.
bool lookupSystemMessage(uint32_t code, std::string* text);

// The text of `code`; unknown codes give "Unknown error <code>".
std::string systemMessage(uint32_t code);

}  // namespace plat
