// The updater program's start: the argument, one window per device (an
// instance lock and an activation socket in the runtime directory), the
// display, then the dialog.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace fwflash {

inline constexpr const char* kNoHwIdMessage = "No remote device HWID argument found.";
inline constexpr const char* kNoDisplayMessage = "fwflash: no display";

// The first argument that is not a flag (flags start with '-'); later ones
// are ignored.
std::optional<std::string> firstParameter(int argc, char** argv);

int runUpdaterApp(int argc, char** argv);

}  // namespace fwflash
