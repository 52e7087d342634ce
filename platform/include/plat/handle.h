// A descriptor as the layers above see it.
#pragma once

namespace plat {

using Handle = int;
inline constexpr Handle kInvalidHandle = -1;

// Closes h unless it is kInvalidHandle.
void closeHandle(Handle h);

}  // namespace plat
