// Finding and loading the media libraries named in the registry file.
#pragma once

#include <string>
#include <vector>

#include "linkhub/MediaLibrary.h"

namespace linkhub {

// The registry key whose values name the media libraries:
// SOFTWARE\<company>\<application>\Media under HKEY_LOCAL_MACHINE.
std::string mediaRegistryKey(const std::string& company, const std::string& application);

// Reads the library paths, one per value of the Media key in file order (the
// value names are not used). Win32 code: 0, or the code of the failing
// lookup: opening the key, or reading a value (234 for a name over 127
// characters or a path over 511 bytes). Only the end of the values ends the
// scan; nothing is returned on failure.
int readMediaPaths(const std::string& key, std::vector<std::string>* paths);

// Loads one media library and binds its six exports into *record (with the
// platform's transmit-event setter). A library that exports the load hook
// "MediaLoadHook" and whose hook answers false (another process holds its
// devices) counts as not loadable. False, with nothing left loaded, when the
// library cannot be loaded, its hook refuses or it lacks an export; *error
// then says which: the loader's text, the refusal, or the missing export.
bool loadMediaLibrary(const std::string& path, MediaRecord* record, std::string* error = nullptr);

// Unloads a library that loadMediaLibrary loaded; records without a module
// (in-process media) are left alone.
void unloadMediaLibrary(MediaRecord* record);

}  // namespace linkhub
