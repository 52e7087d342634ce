// A descriptor as the layers above see it, and the error code of the last
// failed OS call in the Win32 numbering the layers above report.
#pragma once

namespace plat {

using Handle = int;
inline constexpr Handle kInvalidHandle = -1;

// Closes h unless it is kInvalidHandle.
void closeHandle(Handle h);

// Switches a handle between blocking and non-blocking I/O. Win32 code (0 ok).
int setBlocking(Handle h, bool blocking);

// The Win32 code of the last failed OS call on this thread (2 not found,
// 5 access denied, 8 no memory, 109 broken pipe, ...; 31 when nothing closer
// fits).
int lastSystemError();

}  // namespace plat
