// The per-user runtime directory and the mapping of Windows-form pipe names
// onto socket paths inside it.
//
// <rt> is $LINKHUB_RUNTIME_DIR, else $XDG_RUNTIME_DIR/veltrano, else
// /tmp/veltrano-<uid>; created mode 0700 and its owner checked.
#pragma once

#include <string>

namespace plat {

// Finds (and creates when missing) the runtime directory. Win32 code: 0, or
// 5 (access denied) when it exists but belongs to another user or is not a
// directory, or the code of the failing creation.
int runtimeDir(std::string* path);

// Maps \\.\pipe\X\Y (or \pipe\X\Y) onto <rt>/pipe/x/y: the prefix stripped,
// ASCII case folded, '\' to '/'. Refuses (123, ERROR_INVALID_NAME) an empty
// name, empty, "." or ".." parts, and (206, ERROR_FILENAME_EXCED_RANGE) a
// socket path over 107 bytes. Does not create anything.
int pipePath(const std::string& windowsName, std::string* path);

// Creates the parent directories of a socket path below <rt>, mode 0700.
int makeParentDirs(const std::string& socketPath);

// The control RPC endpoint, the pipe "\pipe\zamoconnectionserver".
inline constexpr const char* kControlPipeName = "\\pipe\\zamoconnectionserver";

}  // namespace plat
