// Loading shared libraries at run time (media plug-ins, wrapped libraries).
#pragma once

#include <string>

namespace plat {

using LibraryHandle = void*;

// dlopen(RTLD_NOW | RTLD_LOCAL). Null on failure, with the loader's text in
// *error (when given).
LibraryHandle loadLibrary(const std::string& path, std::string* error = nullptr);
// The address of an exported symbol; null when missing, with the loader's text
// in *error (when given).
void* findSymbol(LibraryHandle library, const char* name, std::string* error = nullptr);
// dlclose; null is ignored.
void freeLibrary(LibraryHandle library);
// The file of the loaded object (program or shared library) that holds
// `address` (dladdr); empty when none does.
std::string objectPathOf(const void* address);

}  // namespace plat
