// The module information of a firmware package: the "midd" entry's XML
// document, whose element "Module" has the children "Version", "Target",
// "SubTarget" and "Verbose".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fwflash {

// Bounds on untrusted input: a bigger package file, or a bigger extracted
// module information entry, makes the package invalid.
inline constexpr uint64_t kMaxPackageSize = 256ull << 20;
inline constexpr size_t kMaxModuleInfoSize = 1u << 20;

// The values as the package holds them, byte for byte.
struct ModuleInfo {
  std::string version;
  std::string target;
  std::string subTarget;
  std::string verbose;
};

// Finds, extracts and parses the module information of a package held in
// memory. False for any failure; the cause is not reported.
bool readModuleInfo(const std::vector<uint8_t>& package, ModuleInfo* info);

// Reads a package file whole: false for anything but a readable regular
// file of at most kMaxPackageSize bytes (never blocks on a device or FIFO).
bool loadPackageFile(const std::string& path, std::vector<uint8_t>* bytes);

// loadPackageFile then readModuleInfo; nothing for an unusable package.
std::optional<ModuleInfo> readPackageFileModule(const std::string& path);

// One UTF-16 code unit per byte, as the package's values are shown.
std::u16string widenBytes(const std::string& bytes);

}  // namespace fwflash
