#include "plat/verinfo.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>

#include "base/ByteReader.h"

namespace plat {
namespace {

constexpr uint64_t kSectionLimit = 1 << 20;  // a version block is a few hundred bytes
constexpr uint64_t kMaxSections = 1 << 20;
constexpr size_t kElfHeader = 64, kSectionHeader = 64;
constexpr uint32_t kShtNobits = 8;
constexpr uint16_t kShnXindex = 0xFFFF;
constexpr char kSectionName[] = ".verinfo";  // compared with its terminator

// Reads `n` bytes at `offset`; false when they are not all inside the file.
using ReadAt = std::function<bool(uint64_t offset, void* out, size_t n)>;

using base::loadU16;
using base::loadU32;
using base::loadU64;

bool findSection(uint64_t fileSize, const ReadAt& readAt, std::string* out) {
  unsigned char eh[kElfHeader];
  if (!readAt(0, eh, sizeof eh)) return false;
  if (std::memcmp(eh,
                  "\x7f"
                  "ELF",
                  4) != 0 ||
      eh[4] != 2 /* 64-bit */ || eh[5] != 1 /* LE */)
    return false;
  const uint64_t shoff = loadU64(eh + 0x28);
  const uint16_t shentsize = loadU16(eh + 0x3A);
  uint64_t shnum = loadU16(eh + 0x3C);
  uint64_t shstrndx = loadU16(eh + 0x3E);
  if (shoff == 0 || shentsize < kSectionHeader || shoff > fileSize) return false;

  auto readHeader = [&](uint64_t index, unsigned char* sh) {
    // index < kMaxSections and shentsize < 2^16: no overflow.
    const uint64_t at = shoff + index * shentsize;
    return at <= fileSize && readAt(at, sh, kSectionHeader);
  };
  unsigned char sh[kSectionHeader];
  if (shnum == 0 || shstrndx == kShnXindex) {  // counts too large for the ELF header
    if (!readHeader(0, sh)) return false;
    if (shnum == 0) shnum = loadU64(sh + 32);
    if (shstrndx == kShnXindex) shstrndx = loadU32(sh + 40);
  }
  if (shnum == 0 || shnum > kMaxSections || shstrndx >= shnum) return false;
  if ((fileSize - shoff) / shentsize < shnum) return false;  // table past the end

  if (!readHeader(shstrndx, sh)) return false;
  const uint64_t strOffset = loadU64(sh + 24), strSize = loadU64(sh + 32);
  if (loadU32(sh + 4) == kShtNobits || strOffset > fileSize || strSize > fileSize - strOffset)
    return false;

  for (uint64_t i = 0; i < shnum; ++i) {
    if (!readHeader(i, sh)) return false;
    const uint32_t nameOffset = loadU32(sh + 0);
    if (nameOffset >= strSize || strSize - nameOffset < sizeof kSectionName) continue;
    char name[sizeof kSectionName];
    if (!readAt(strOffset + nameOffset, name, sizeof name)) return false;
    if (std::memcmp(name, kSectionName, sizeof name) != 0) continue;
    const uint64_t offset = loadU64(sh + 24), size = loadU64(sh + 32);
    if (loadU32(sh + 4) == kShtNobits || size > kSectionLimit || offset > fileSize ||
        size > fileSize - offset)
      return false;
    out->resize(size_t(size));
    return size == 0 || readAt(offset, &(*out)[0], size_t(size));
  }
  return false;
}

char foldAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

bool startsWithIgnoringCase(const std::string& s, size_t at, const std::string& prefix) {
  if (s.size() - at < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (foldAscii(s[at + i]) != foldAscii(prefix[i])) return false;
  return true;
}

}  // namespace

bool findVersionValue(const std::string& section, const std::string& key, std::string* value) {
  const std::string prefix = std::string("\\StringFileInfo\\") + kVersionBlock + "\\" + key + "=";
  size_t start = 0;
  while (start < section.size()) {
    size_t end = section.find('\n', start);
    if (end == std::string::npos) end = section.size();
    if (end - start >= prefix.size() && startsWithIgnoringCase(section, start, prefix)) {
      size_t valueEnd = end;
      if (valueEnd > start + prefix.size() && section[valueEnd - 1] == '\r') --valueEnd;
      const size_t from = start + prefix.size();
      std::string v = section.substr(from, valueEnd - from);
      if (v.find('\0') != std::string::npos) v.resize(v.find('\0'));
      *value = std::move(v);
      return true;
    }
    start = end + 1;
  }
  return false;
}

namespace {

bool readSectionFromFile(const std::string& path, std::string* section) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = false;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    const uint64_t size = uint64_t(st.st_size);
    ReadAt readAt = [fd, size](uint64_t offset, void* out, size_t n) {
      if (offset > size || n > size - offset) return false;
      size_t done = 0;
      while (done < n) {
        ssize_t r = ::pread(fd, static_cast<char*>(out) + done, n - done, off_t(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += size_t(r);
      }
      return true;
    };
    ok = findSection(size, readAt, section);
  }
  ::close(fd);
  return ok;
}

// The main program's own mappings have no name in the loader's list.
struct ModuleSearch {
  uintptr_t address;
  bool found = false;
  bool isMainProgram = false;
};

int visitModule(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<ModuleSearch*>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    if (search->address >= start && search->address - start < ph.p_memsz) {
      search->found = true;
      search->isMainProgram = !info->dlpi_name || !*info->dlpi_name;
      return 1;
    }
  }
  return 0;
}

}  // namespace

bool findVersionSection(const unsigned char* file, size_t size, std::string* section) {
  ReadAt readAt = [file, size](uint64_t offset, void* out, size_t n) {
    if (offset > size || n > size - offset) return false;
    if (n) std::memcpy(out, file + offset, n);
    return true;
  };
  return findSection(size, readAt, section);
}

bool readFileVersionString(const std::string& path, const std::string& key, std::string* value) {
  std::string section;
  return readSectionFromFile(path, &section) && findVersionValue(section, key, value);
}

std::string getFileVersionString(const std::string& path, const std::string& key) {
  std::string value;
  readFileVersionString(path, key, &value);
  return value;
}

std::string getVersionString(const std::string& key) {
  return getFileVersionString("/proc/self/exe", key);
}

bool readVersionString(const std::string& key, std::string* value) {
  return readFileVersionString("/proc/self/exe", key, value);
}

std::string getModuleVersionString(const void* addressInModule, const std::string& key) {
  Dl_info info{};
  if (!dladdr(addressInModule, &info)) return {};
  ModuleSearch search{reinterpret_cast<uintptr_t>(addressInModule)};
  dl_iterate_phdr(visitModule, &search);
  // dladdr names the main program by how it was started, which may be a
  // relative path from another directory; its own link is exact.
  if (search.found && search.isMainProgram) return getVersionString(key);
  if (!info.dli_fname || !*info.dli_fname) return {};
  return getFileVersionString(info.dli_fname, key);
}

}  // namespace plat
