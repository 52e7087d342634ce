// The version section: reading it from programs, libraries and damaged files.
#include "plat/verinfo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "plat/dynlib.h"
#include "plat/runtime.h"

namespace plat {
namespace {

// ------------------------------------------------------------ built programs

TEST(VersionInfo, ProgramReadsItsOwnBlock) {
  EXPECT_EQ("Verinfo Test", getVersionString("ProductName"));
  EXPECT_EQ("1.2.3.4", getVersionString("ProductVersion"));
  EXPECT_EQ("1.2.3.4", getVersionString("FileVersion"));
  EXPECT_EQ("Verinfo Test", getVersionString("productname"));  // keys ignore case
  EXPECT_FALSE(getVersionString("LegalCopyright").empty());
  EXPECT_EQ("", getVersionString("Product"));
  EXPECT_EQ("", getVersionString("NoSuchKey"));
  // Found through an address inside the program, too.
  EXPECT_EQ("Verinfo Test",
            getModuleVersionString(reinterpret_cast<void*>(&getVersionString), "ProductName"));
}

TEST(VersionInfo, OtherBlockOrNoSectionGivesNothing) {
  std::string value = "untouched";
  EXPECT_FALSE(readFileVersionString(VERINFO_FOREIGN, "ProductName", &value));
  EXPECT_EQ("untouched", value);
  EXPECT_EQ("", getFileVersionString(VERINFO_FOREIGN, "ProductVersion"));
  EXPECT_EQ("", getFileVersionString(VERINFO_NONE, "ProductName"));
  EXPECT_EQ("", getFileVersionString("/nonexistent/file", "ProductName"));
  EXPECT_EQ("", getFileVersionString("/proc/self", "ProductName"));  // a directory
}

TEST(VersionInfo, LibraryIsFoundByAnAddressInsideIt) {
  std::string error;
  LibraryHandle lib = loadLibrary(VERINFO_MODULE, &error);
  ASSERT_NE(nullptr, lib) << error;
  using Probe = const char* (*)();
  auto probe = reinterpret_cast<Probe>(findSymbol(lib, "verinfo_probe", &error));
  ASSERT_NE(nullptr, probe) << error;
  EXPECT_STREQ("Verinfo Module", probe());
  EXPECT_EQ("Verinfo Module",
            getModuleVersionString(reinterpret_cast<void*>(probe), "ProductName"));
  EXPECT_EQ("Verinfo Module", getFileVersionString(VERINFO_MODULE, "ProductName"));

  EXPECT_EQ(nullptr, findSymbol(lib, "no_such_symbol", &error));
  EXPECT_NE(std::string::npos, error.find("no_such_symbol")) << error;
  freeLibrary(lib);
  freeLibrary(nullptr);

  EXPECT_EQ(nullptr, loadLibrary("/nonexistent/libnothing.so", &error));
  EXPECT_NE(std::string::npos, error.find("libnothing.so")) << error;
  EXPECT_EQ(nullptr, findSymbol(nullptr, "x", &error));
}

// ------------------------------------------------------------ hand-made ELF files

// A minimal ELF64: header, the section's bytes, the section name table, then
// three section headers (null, .shstrtab, .verinfo).
struct Elf {
  std::vector<unsigned char> bytes;
  size_t shoff, shstrtabHeader, verinfoHeader;
};

template <typename T>
void put(std::vector<unsigned char>& b, size_t at, T v) {
  for (size_t i = 0; i < sizeof(T); ++i) b[at + i] = (unsigned char)(uint64_t(v) >> (8 * i));
}

Elf makeElf(const std::string& content, const char* sectionName = ".verinfo") {
  Elf e;
  std::string names = std::string("\0.shstrtab\0", 11) + sectionName + std::string("\0", 1);
  const size_t contentAt = 64, namesAt = contentAt + content.size();
  e.shoff = (namesAt + names.size() + 7) & ~size_t(7);
  e.bytes.assign(e.shoff + 3 * 64, 0);
  std::memcpy(&e.bytes[0],
              "\x7f"
              "ELF",
              4);
  e.bytes[4] = 2;  // 64-bit
  e.bytes[5] = 1;  // little-endian
  e.bytes[6] = 1;
  put<uint64_t>(e.bytes, 0x28, e.shoff);
  put<uint16_t>(e.bytes, 0x34, 64);  // e_ehsize
  put<uint16_t>(e.bytes, 0x3A, 64);  // e_shentsize
  put<uint16_t>(e.bytes, 0x3C, 3);   // e_shnum
  put<uint16_t>(e.bytes, 0x3E, 1);   // e_shstrndx
  std::memcpy(&e.bytes[contentAt], content.data(), content.size());
  std::memcpy(&e.bytes[namesAt], names.data(), names.size());
  e.shstrtabHeader = e.shoff + 64;
  put<uint32_t>(e.bytes, e.shstrtabHeader + 0, 1);
  put<uint32_t>(e.bytes, e.shstrtabHeader + 4, 3);  // SHT_STRTAB
  put<uint64_t>(e.bytes, e.shstrtabHeader + 24, namesAt);
  put<uint64_t>(e.bytes, e.shstrtabHeader + 32, names.size());
  e.verinfoHeader = e.shoff + 128;
  put<uint32_t>(e.bytes, e.verinfoHeader + 0, 11);
  put<uint32_t>(e.bytes, e.verinfoHeader + 4, 1);  // SHT_PROGBITS
  put<uint64_t>(e.bytes, e.verinfoHeader + 24, contentAt);
  put<uint64_t>(e.bytes, e.verinfoHeader + 32, content.size());
  return e;
}

// Runs the parser on an allocation of exactly the file's size, so a read
// past the end is caught by the address sanitizer.
bool parse(const std::vector<unsigned char>& bytes, std::string* section) {
  std::unique_ptr<unsigned char[]> exact(new unsigned char[bytes.size() ? bytes.size() : 1]);
  if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
  return findVersionSection(exact.get(), bytes.size(), section);
}

const std::string kBlock =
    "\\StringFileInfo\\040904b0\\ProductName=Gr\xC3\xB6\xC3\x9F"
    "e = 2\r\n"
    "\\StringFileInfo\\040704b0\\ProductVersion=9.9\n"
    "\\StringFileInfo\\040904B0\\ProductVersion=1.0\n"
    "\\StringFileInfo\\040904b0\\Empty=\n"
    "\\StringFileInfo\\040904b0\\LegalCopyright=last line, no break";

TEST(VersionSection, ValuesOfTheEnglishBlockOnly) {
  Elf e = makeElf(kBlock);
  std::string section;
  ASSERT_TRUE(parse(e.bytes, &section));
  EXPECT_EQ(kBlock, section);

  const std::string dir = makeTempDir("rpc-verinfo-");
  ASSERT_FALSE(dir.empty());
  const std::string file = dir + "/prog";
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(e.bytes.data()), std::streamsize(e.bytes.size()));
  struct Case {
    const char* key;
    bool found;
    const char* value;
  } cases[] = {
      {"ProductName", true,
       "Gr\xC3\xB6\xC3\x9F"
       "e = 2"},
      {"ProductVersion", true, "1.0"},  // block digits ignore case; 0407 skipped
      {"Empty", true, ""},
      {"LegalCopyright", true, "last line, no break"},
      {"Product", false, ""},
      {"FileVersion", false, ""},
  };
  for (const Case& c : cases) {
    std::string value;
    EXPECT_EQ(c.found, readFileVersionString(file, c.key, &value)) << c.key;
    EXPECT_EQ(c.value, value) << c.key;
  }
  std::filesystem::remove_all(dir);
}

TEST(VersionSection, EveryTruncationIsRefusedSafely) {
  Elf e = makeElf(kBlock);
  std::string section;
  for (size_t n = 0; n < e.bytes.size(); ++n) {
    std::vector<unsigned char> cut(e.bytes.begin(), e.bytes.begin() + long(n));
    EXPECT_FALSE(parse(cut, &section)) << n;
  }
}

TEST(VersionSection, DamagedHeadersAreRefusedSafely) {
  using Patch = std::function<void(Elf&)>;
  struct Case {
    const char* what;
    Patch patch;
  } cases[] = {
      {"not ELF", [](Elf& e) { e.bytes[1] = 'X'; }},
      {"32-bit", [](Elf& e) { e.bytes[4] = 1; }},
      {"big-endian", [](Elf& e) { e.bytes[5] = 2; }},
      {"no section table", [](Elf& e) { put<uint64_t>(e.bytes, 0x28, 0); }},
      {"table past the end", [](Elf& e) { put<uint64_t>(e.bytes, 0x28, e.bytes.size() - 10); }},
      {"table offset huge", [](Elf& e) { put<uint64_t>(e.bytes, 0x28, ~uint64_t(0) - 5); }},
      {"entries too small", [](Elf& e) { put<uint16_t>(e.bytes, 0x3A, 32); }},
      {"entries too large", [](Elf& e) { put<uint16_t>(e.bytes, 0x3A, 0xFFFF); }},
      {"too many sections", [](Elf& e) { put<uint16_t>(e.bytes, 0x3C, 0xFFFE); }},
      {"name table index out of range", [](Elf& e) { put<uint16_t>(e.bytes, 0x3E, 3); }},
      {"extended count huge",
       [](Elf& e) {
         put<uint16_t>(e.bytes, 0x3C, 0);
         put<uint64_t>(e.bytes, e.shoff + 32, ~uint64_t(0));
       }},
      {"extended name index huge",
       [](Elf& e) {
         put<uint16_t>(e.bytes, 0x3E, 0xFFFF);
         put<uint32_t>(e.bytes, e.shoff + 40, 0xFFFFFFF0u);
       }},
      {"name table past the end",
       [](Elf& e) { put<uint64_t>(e.bytes, e.shstrtabHeader + 24, e.bytes.size()); }},
      {"name table size huge",
       [](Elf& e) { put<uint64_t>(e.bytes, e.shstrtabHeader + 32, ~uint64_t(0) - 3); }},
      {"name table without bits", [](Elf& e) { put<uint32_t>(e.bytes, e.shstrtabHeader + 4, 8); }},
      {"name offset past the table",
       [](Elf& e) { put<uint32_t>(e.bytes, e.verinfoHeader, 0xFFFFFFFFu); }},
      {"name cut by the table's end",
       [](Elf& e) { put<uint64_t>(e.bytes, e.shstrtabHeader + 32, 15); }},
      {"section past the end",
       [](Elf& e) { put<uint64_t>(e.bytes, e.verinfoHeader + 24, e.bytes.size() - 4); }},
      {"section offset huge",
       [](Elf& e) { put<uint64_t>(e.bytes, e.verinfoHeader + 24, ~uint64_t(0) - 1); }},
      {"section size huge",
       [](Elf& e) { put<uint64_t>(e.bytes, e.verinfoHeader + 32, uint64_t(1) << 63); }},
      {"section without bits", [](Elf& e) { put<uint32_t>(e.bytes, e.verinfoHeader + 4, 8); }},
  };
  for (const Case& c : cases) {
    Elf e = makeElf(kBlock);
    c.patch(e);
    std::string section;
    EXPECT_FALSE(parse(e.bytes, &section)) << c.what;
  }
  // Another section of a name that merely starts alike is not the one.
  std::string section;
  EXPECT_FALSE(parse(makeElf(kBlock, ".verinfo2").bytes, &section));
  EXPECT_FALSE(parse(makeElf(kBlock, ".verinf").bytes, &section));
  // The extended forms, when sound, are read.
  Elf e = makeElf(kBlock);
  put<uint16_t>(e.bytes, 0x3C, 0);
  put<uint64_t>(e.bytes, e.shoff + 32, 3);
  put<uint16_t>(e.bytes, 0x3E, 0xFFFF);
  put<uint32_t>(e.bytes, e.shoff + 40, 1);
  EXPECT_TRUE(parse(e.bytes, &section));
}

}  // namespace
}  // namespace plat
