// Private files: written where other users cannot reach them (the runtime
// directory), never through a symbolic link and readable by the owner only.
#pragma once

#include <cstddef>
#include <string>

namespace plat {

// Creates or truncates `path` (the last component must not be a symbolic
// link; it must end up a regular file of this user), mode 0600, and writes
// all `length` bytes. Win32 code: 0 done; else the failing step's code (a
// link or a foreign file gives 5). A failed write leaves no partial file.
int writePrivateFile(const std::string& path, const void* data, size_t length);

}  // namespace plat
