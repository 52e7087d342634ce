// The per-user runtime directory and the mapping of Windows-form pipe names
// onto socket paths inside it.
//
// <rt> is $LINKHUB_RUNTIME_DIR, else $XDG_RUNTIME_DIR/veltrano, else
// /tmp/veltrano-<uid> (made absolute, trailing '/' dropped). Results are Win32
// error codes (0 success).
#pragma once

#include <string>

namespace plat {

// Finds <rt>, creating it (and, for $LINKHUB_RUNTIME_DIR, missing parents)
// mode 0700 when missing. 5 (access denied) when it is not a directory,
// belongs to another user or is writable by group or others; else the code of
// the failing creation.
int runtimeDir(std::string* path);

// Maps \\.\pipe\X\Y (or \pipe\X\Y, either in any case) onto <rt>/pipe/x/y:
// the prefix stripped, ASCII case folded, '\' (and '/') separate parts.
// Refuses (123, ERROR_INVALID_NAME) a name without the prefix, an empty
// name, a NUL byte, and empty, "." or ".." parts; refuses (206,
// ERROR_FILENAME_EXCED_RANGE) a socket path over kMaxSocketPath bytes.
// Creates nothing.
int pipePath(const std::string& windowsName, std::string* path);

// The longest socket path (sun_path less its terminator).
inline constexpr size_t kMaxSocketPath = 107;

// Creates <rt> (as runtimeDir) and the directories between it and the socket
// path's own name, mode 0700. 123 when the path is not below <rt>.
int makeParentDirs(const std::string& socketPath);

// The control RPC endpoint, the pipe "\pipe\zamoconnectionserver".
inline constexpr const char* kControlPipeName = "\\pipe\\zamoconnectionserver";

// For tests and tools: a fresh private directory /tmp/<prefix>XXXXXX
// (mkdtemp); empty on failure.
std::string makeTempDir(const std::string& prefix);
// Sets an environment variable of this process (and of the programs it starts
// afterwards). Not safe while other threads read the environment.
void setEnvironment(const std::string& name, const std::string& value);
// Removes an environment variable, with the same caveat.
void unsetEnvironment(const std::string& name);

}  // namespace plat
