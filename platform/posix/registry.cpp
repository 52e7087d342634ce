#include "plat/registry.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/ByteReader.h"
#include "plat/errors.h"
#include "plat/handle.h"

namespace plat {
namespace {

constexpr long kFileLimit = 1 << 20;  // far above any real registry file
constexpr uint32_t kNotFound = kErrorFileNotFound, kBadFile = kErrorInvalidData,
                   kMoreData = kErrorMoreData, kNoMoreItems = kErrorNoMoreItems,
                   kUnsupportedType = kErrorUnsupportedType;

char foldAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

bool equalIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (foldAscii(a[i]) != foldAscii(b[i])) return false;
  return true;
}

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

// "ROOT\a\b" as upper-case parts; false for an unknown root or an empty part.
bool splitKeyPath(const std::string& path, std::vector<std::string>* parts) {
  parts->clear();
  std::string part;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '\\') {
      if (part.empty()) return false;
      parts->push_back(part);
      part.clear();
    } else {
      part += foldAscii(path[i]);
    }
  }
  std::string& root = parts->front();
  if (root == "HKLM") root = "HKEY_LOCAL_MACHINE";
  if (root == "HKCU") root = "HKEY_CURRENT_USER";
  return root == "HKEY_LOCAL_MACHINE" || root == "HKEY_CURRENT_USER";
}

// Reads a quoted string starting at s[*pos] == '"'; moves *pos past the
// closing quote. Escapes: \\ and \".
bool readQuoted(const std::string& s, size_t* pos, std::string* out) {
  if (*pos >= s.size() || s[*pos] != '"') return false;
  out->clear();
  for (size_t i = *pos + 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) return false;
      c = s[++i];
    }
    out->push_back(c);
  }
  return false;  // no closing quote
}

bool parseDword(const std::string& text, uint32_t* v) {
  if (text.empty() || text.size() > 8) return false;
  uint32_t value = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    value = value << 4 | uint32_t(d);
  }
  *v = value;
  return true;
}

// One value line: "name"=<data> or @=<data>.
bool parseValueLine(const std::string& line, RegValue* value) {
  size_t pos = 0;
  if (line[0] == '@') {
    value->name.clear();
    pos = 1;
  } else if (!readQuoted(line, &pos, &value->name)) {
    return false;
  }
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  if (pos >= line.size() || line[pos] != '=') return false;
  std::string rest = trim(line.substr(pos + 1));
  if (!rest.empty() && rest[0] == '"') {
    size_t p = 0;
    std::string text;
    if (!readQuoted(rest, &p, &text) || p != rest.size()) return false;
    value->type = kRegSz;
    value->data.assign(text.begin(), text.end());
    value->data.push_back(0);
    return true;
  }
  if (rest.size() > 6 && equalIgnoringCase(rest.substr(0, 6), "dword:")) {
    uint32_t v;
    if (!parseDword(rest.substr(6), &v)) return false;
    value->type = kRegDword;
    value->data = base::ByteWriter().u32(v).take();
    return true;
  }
  return false;  // deletions, hex and other types are not part of this form
}

bool isPrefixOf(const std::vector<std::string>& prefix, const std::vector<std::string>& path) {
  if (prefix.size() > path.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (prefix[i] != path[i]) return false;
  return true;
}

// Parses the whole text; collects the values of `wanted` and whether it exists.
int parse(const std::string& text, const std::vector<std::string>& wanted, bool* found,
          std::vector<RegValue>* values) {
  *found = false;
  values->clear();
  size_t start = 0;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
    start = 3;
  else if (text.size() >= 2 && (uint8_t(text[0]) == 0xFF || uint8_t(text[0]) == 0xFE))
    return kBadFile;  // UTF-16 exports are not read
  bool first = true, inSection = false, inWanted = false;
  std::vector<std::string> section;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = trim(text.substr(start, end - start));
    start = end + 1;
    if (line.find('\0') != std::string::npos) return kBadFile;
    if (line.empty() || line[0] == ';') continue;
    bool wasFirst = first;
    first = false;
    if (wasFirst && (line == "Windows Registry Editor Version 5.00" || line == "REGEDIT4"))
      continue;
    if (line[0] == '[') {
      if (line.back() != ']' || line.size() < 3 || line[1] == '-') return kBadFile;
      if (!splitKeyPath(line.substr(1, line.size() - 2), &section)) return kBadFile;
      inSection = true;
      inWanted = section == wanted;
      if (isPrefixOf(wanted, section)) *found = true;
      continue;
    }
    RegValue value;
    if (!inSection || !parseValueLine(line, &value)) return kBadFile;
    if (!inWanted) continue;
    bool replaced = false;
    for (RegValue& v : *values) {
      if (equalIgnoringCase(v.name, value.name)) {
        v = value;
        replaced = true;
        break;
      }
    }
    if (!replaced) values->push_back(std::move(value));
  }
  return 0;
}

int readFile(const std::string& path, std::string* text) {
  FILE* f = std::fopen(path.c_str(), "rbe");
  if (!f) return errno == ENOENT || errno == ENOTDIR ? int(kNotFound) : int(lastSystemError());
  struct stat st;
  int rc = 0;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kFileLimit) {
    rc = kBadFile;
  } else {
    text->resize(size_t(st.st_size));
    size_t n = text->empty() ? 0 : std::fread(&(*text)[0], 1, text->size(), f);
    if (n != text->size() || std::ferror(f)) rc = kBadFile;
  }
  std::fclose(f);
  return rc;
}

int copyOut(const RegValue& v, uint32_t* type, uint8_t* data, uint32_t* dataBytes) {
  if (type) *type = v.type;
  if (!dataBytes) return data ? kErrorInvalidParameter : 0;
  const uint32_t need = uint32_t(v.data.size());
  if (data && *dataBytes < need) {
    *dataBytes = need;
    return kMoreData;
  }
  if (data && need) std::memcpy(data, v.data.data(), need);
  *dataBytes = need;
  return 0;
}

}  // namespace

const RegValue* RegKey::find(const std::string& name) const {
  for (const RegValue& v : values_)
    if (equalIgnoringCase(v.name, name)) return &v;
  return nullptr;
}

std::vector<std::string> registrySearchPath() {
  std::vector<std::string> paths;
#ifdef VLN_INSTALLED_REGISTRY
  // The configuration directory of the prefix the tree was built for; the
  // same as the one below for a package installed into /usr.
  paths.push_back(VLN_INSTALLED_REGISTRY);
#endif
  if (paths.empty() || paths.front() != kSystemRegistry) paths.push_back(kSystemRegistry);
  return paths;
}

std::string registryPathAmong(const std::vector<std::string>& candidates) {
  for (const std::string& path : candidates) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return path;
  }
  // None there: the system's file, so that what is reported names it.
  return candidates.empty() ? std::string(kSystemRegistry) : candidates.back();
}

std::string registryPath() {
  const char* env = std::getenv("LINKHUB_REGISTRY");
  if (env && *env) return env;
  return registryPathAmong(registrySearchPath());
}

int regOpenKey(RegRoot root, const std::string& subKey, RegKey* key) {
  return regOpenKeyIn(registryPath(), root, subKey, key);
}

int regOpenKeyIn(const std::string& file, RegRoot root, const std::string& subKey, RegKey* key) {
  std::string text;
  if (int rc = readFile(file, &text)) return rc;
  return regOpenKeyInText(text, root, subKey, key);
}

int regOpenKeyInText(const std::string& text, RegRoot root, const std::string& subKey,
                     RegKey* key) {
  std::string path = root == RegRoot::kLocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
  if (!subKey.empty()) path += "\\" + subKey;
  std::vector<std::string> wanted;
  if (!splitKeyPath(path, &wanted)) return kNotFound;
  bool found = false;
  std::vector<RegValue> values;
  if (int rc = parse(text, wanted, &found, &values)) return rc;
  if (!found) return kNotFound;
  key->values_ = std::move(values);
  return 0;
}

int regEnumValue(const RegKey& key, uint32_t index, char* name, uint32_t* nameChars, uint32_t* type,
                 uint8_t* data, uint32_t* dataBytes) {
  if (!name || !nameChars) return kErrorInvalidParameter;
  if (index >= key.values().size()) return kNoMoreItems;
  const RegValue& v = key.values()[index];
  if (v.name.size() + 1 > *nameChars) return kMoreData;
  std::memcpy(name, v.name.c_str(), v.name.size() + 1);
  *nameChars = uint32_t(v.name.size());
  return copyOut(v, type, data, dataBytes);
}

int regQueryValue(const RegKey& key, const std::string& name, uint32_t* type, uint8_t* data,
                  uint32_t* dataBytes) {
  const RegValue* v = key.find(name);
  if (!v) return kNotFound;
  return copyOut(*v, type, data, dataBytes);
}

int regGetString(const RegKey& key, const std::string& name, std::string* value) {
  const RegValue* v = key.find(name);
  if (!v) return kNotFound;
  if (v->type != kRegSz) return kUnsupportedType;
  value->assign(reinterpret_cast<const char*>(v->data.data()), v->data.size() - 1);
  return 0;
}

}  // namespace plat
