// Version information: the ".verinfo" ELF section that the build attaches to
// every program and library (cmake/VersionInfo.cmake), holding lines
// "\StringFileInfo\<block>\<Key>=<value>" in UTF-8.
//
// The file is untrusted input: the ELF64 headers are read by hand with every
// offset and size checked against the file, and a damaged or foreign file
// simply has no values.
#pragma once

#include <string>

namespace plat {

// The block the readers look in: U.S. English, Unicode.
inline constexpr const char* kVersionBlock = "040904b0";

// Reads `key` (ProductName, ProductVersion, FileVersion, FileDescription,
// LegalCopyright) of block 040904b0 from the running program's own file.
// Empty when the section, the block or the key is missing.
std::string getVersionString(const std::string& key);
// The same with a success flag, so that an empty value can be told from a
// missing one: false (and *value untouched) when there is no such value.
bool readVersionString(const std::string& key, std::string* value);
// The same, read from the file of the module (program or shared library) that
// contains `addressInModule` (found with dladdr).
std::string getModuleVersionString(const void* addressInModule, const std::string& key);
// The same, read from a named file.
std::string getFileVersionString(const std::string& path, const std::string& key);

// The same with a success flag, so that an empty value can be told from a
// missing one: false (and *value untouched) when there is no such value.
bool readFileVersionString(const std::string& path, const std::string& key, std::string* value);
// The raw contents of the .verinfo section of an ELF64 file held in memory;
// false when it is not a well-formed little-endian ELF64 file with that
// section inside its bounds.
bool findVersionSection(const unsigned char* file, size_t size, std::string* section);
// The value of `key` in block 040904b0 of a section's text (keys and block
// digits ignore case); false when there is none.
bool findVersionValue(const std::string& section, const std::string& key, std::string* value);

}  // namespace plat
