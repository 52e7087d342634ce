// The read-only registry: a text file in the .reg export form
//
//   Windows Registry Editor Version 5.00          (optional first line)
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Veltrano\linkhub\Media]
//   "usblink"="/usr/lib/veltrano/libusblink.so"
//   "Count"=dword:00000002
//   @="default value"
//
// read from $LINKHUB_REGISTRY, else from <sysconfdir>/veltrano/registry.reg
// of the installation prefix, else /etc/veltrano/registry.reg. String values
// take the escapes \\ and \"; lines starting with ';' are comments. Key and
// value names compare ignoring ASCII case, as on Windows. A key exists when a
// section names it or one of its sub-keys. Values keep their file order (a
// repeated name replaces the value in its first place).
//
// Results are Win32 codes: 0, 2 (key or value not found, or no registry
// file), 5 (file unreadable), 13 (the file is not in this form; nothing of it
// is used), 234 (a buffer is too small), 259 (no more values), 1630 (a value
// of another type was asked for).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plat {

enum class RegRoot { kLocalMachine, kCurrentUser };

inline constexpr uint32_t kRegSz = 1;     // REG_SZ: UTF-8 text and its terminator
inline constexpr uint32_t kRegDword = 4;  // REG_DWORD: 4 bytes little-endian

struct RegValue {
  std::string name;  // "" for the default value (@)
  uint32_t type = kRegSz;
  std::vector<uint8_t> data;  // kRegSz: the text's bytes and one zero byte
};

// An opened key: a snapshot of its values taken when it was opened.
class RegKey {
 public:
  const std::vector<RegValue>& values() const { return values_; }
  // The value named `name` (ignoring case), or null.
  const RegValue* find(const std::string& name) const;

 private:
  friend int regOpenKeyInText(const std::string&, RegRoot, const std::string&, RegKey*);
  std::vector<RegValue> values_;
};

inline constexpr const char* kSystemRegistry = "/etc/veltrano/registry.reg";

// $LINKHUB_REGISTRY, else the first file of registrySearchPath() that
// exists, else /etc/veltrano/registry.reg.
std::string registryPath();
// Where the registry file is looked for: veltrano/registry.reg in the
// configuration directory of the installation prefix, then
// /etc/veltrano/registry.reg.
std::vector<std::string> registrySearchPath();
// The first of `candidates` that exists, else the last one.
std::string registryPathAmong(const std::vector<std::string>& candidates);

// RegOpenKeyEx(root, subKey, KEY_READ) on the registry file. subKey is
// '\'-separated ("SOFTWARE\Veltrano\linkhub\Media").
int regOpenKey(RegRoot root, const std::string& subKey, RegKey* key);
// The same on a named file.
int regOpenKeyIn(const std::string& file, RegRoot root, const std::string& subKey, RegKey* key);
// The same on the text of a registry file.
int regOpenKeyInText(const std::string& text, RegRoot root, const std::string& subKey, RegKey* key);

// RegEnumValue: value number `index` in file order. *nameChars: in, the name
// buffer's size in chars with its terminator; out, the name's length. *dataBytes:
// in, the data buffer's size; out, the data's size (also when 234 is returned
// for the data). type, data and dataBytes may be null. 259 past the last value.
int regEnumValue(const RegKey& key, uint32_t index, char* name, uint32_t* nameChars, uint32_t* type,
                 uint8_t* data, uint32_t* dataBytes);
// RegQueryValueEx: the value named `name`, with the same buffer rules.
int regQueryValue(const RegKey& key, const std::string& name, uint32_t* type, uint8_t* data,
                  uint32_t* dataBytes);
// RegGetValue with RRF_RT_REG_SZ: the text of a string value (1630 for another type).
int regGetString(const RegKey& key, const std::string& name, std::string* value);

}  // namespace plat
