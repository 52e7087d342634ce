// Version information: the ".verinfo" ELF section that the build attaches to
// every program and library (cmake/VersionInfo.cmake), holding lines
// "\StringFileInfo\<block>\<Key>=<value>" in UTF-8.
#pragma once

#include <string>

namespace plat {

// Reads `key` (ProductName, ProductVersion, FileVersion, FileDescription,
// LegalCopyright) of block 040904b0 from the running program's own file.
// Empty when the section, the block or the key is missing.
std::string getVersionString(const std::string& key);
// The same, read from the file of the module (program or shared library) that
// contains `addressInModule` (found with dladdr).
std::string getModuleVersionString(const void* addressInModule, const std::string& key);
// The same, read from a named file.
std::string getFileVersionString(const std::string& path, const std::string& key);

}  // namespace plat
