// The registry file: its form, lookups and the buffer rules of enumeration.
#include "plat/registry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "plat/runtime.h"

namespace plat {
namespace {

const char* kMedia = "SOFTWARE\\Veltrano\\linkhub\\Media";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeTempDir("rpc-registry-");
    ASSERT_FALSE(dir_.empty());
    file_ = dir_ + "/registry.reg";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void write(const std::string& text) { std::ofstream(file_, std::ios::binary) << text; }
  int open(const std::string& text, const std::string& subKey, RegKey* key) {
    write(text);
    return regOpenKeyIn(file_, RegRoot::kLocalMachine, subKey, key);
  }
  std::vector<std::pair<std::string, std::string>> strings(const RegKey& key) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const RegValue& v : key.values())
      out.emplace_back(
          v.name, v.type == kRegSz ? std::string(v.data.begin(), v.data.end() - 1) : "<dword>");
    return out;
  }
  std::string dir_, file_;
};

TEST_F(RegistryTest, MediaKeyValuesComeInFileOrder) {
  RegKey key;
  ASSERT_EQ(0, open("Windows Registry Editor Version 5.00\r\n"
                    "\r\n"
                    "; media libraries\r\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\linkhub]\r\n"
                    "\"Updater\"=\"/usr/bin/fwflash\"\r\n"
                    "\r\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\linkhub\\Media]\r\n"
                    "\"zeta\"=\"/lib/z.so\"\r\n"
                    "\"alpha\" = \"/lib/a \\\"quoted\\\" \\\\ path.so\"\r\n"
                    "@=\"default\"\r\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\usblink\\Devices]\r\n"
                    "\"1234:abcd\"=dword:00000001\r\n"
                    "[hkey_local_machine\\software\\veltrano\\LINKHUB\\media]\r\n"
                    "\"ALPHA\"=\"/lib/a2.so\"\r\n"
                    "\"beta\"=\"\"\r\n",
                    kMedia, &key));
  // Sections of the same key (any case) merge; a repeated name keeps its place.
  EXPECT_THAT(strings(key),
              ::testing::ElementsAre(::testing::Pair("zeta", "/lib/z.so"),
                                     ::testing::Pair("ALPHA", "/lib/a2.so"),
                                     ::testing::Pair("", "default"), ::testing::Pair("beta", "")));

  std::string value;
  EXPECT_EQ(0, regGetString(key, "Zeta", &value));
  EXPECT_EQ("/lib/z.so", value);
  EXPECT_EQ(2, regGetString(key, "missing", &value));

  // The parent key exists through its sub-keys and its own section.
  RegKey parent, devices;
  ASSERT_EQ(0, regOpenKeyIn(file_, RegRoot::kLocalMachine, "SOFTWARE\\Veltrano\\linkhub", &parent));
  EXPECT_EQ(0, regGetString(parent, "Updater", &value));
  EXPECT_EQ("/usr/bin/fwflash", value);
  ASSERT_EQ(0, regOpenKeyIn(file_, RegRoot::kLocalMachine, "SOFTWARE", &parent));
  EXPECT_TRUE(parent.values().empty());
  ASSERT_EQ(0, regOpenKeyIn(file_, RegRoot::kLocalMachine, "SOFTWARE\\Veltrano\\usblink\\Devices",
                            &devices));
  EXPECT_EQ(1630, regGetString(devices, "1234:ABCD", &value));
  uint32_t type = 0, dword = 0, size = 4;
  EXPECT_EQ(0,
            regQueryValue(devices, "1234:abcd", &type, reinterpret_cast<uint8_t*>(&dword), &size));
  EXPECT_EQ(kRegDword, type);
  EXPECT_EQ(1u, dword);
}

TEST_F(RegistryTest, LookupsReportWin32Codes) {
  const std::string text =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\linkhub\\Media]\n\"a\"=\"x\"\n";
  RegKey key;
  struct Case {
    RegRoot root;
    const char* subKey;
    int code;
  } cases[] = {
      {RegRoot::kLocalMachine, kMedia, 0},
      {RegRoot::kLocalMachine, "SOFTWARE\\Veltrano\\linkhub\\Media\\Sub", 2},
      {RegRoot::kLocalMachine, "SOFTWARE\\Veltrano\\linkhu", 2},  // a prefix of a part is no key
      {RegRoot::kCurrentUser, kMedia, 2},
      {RegRoot::kLocalMachine, "SOFTWARE\\\\Veltrano", 2},
  };
  write(text);
  for (const Case& c : cases)
    EXPECT_EQ(c.code, regOpenKeyIn(file_, c.root, c.subKey, &key)) << c.subKey;
  EXPECT_EQ(2, regOpenKeyIn(dir_ + "/none.reg", RegRoot::kLocalMachine, kMedia, &key));
  EXPECT_EQ(13, regOpenKeyIn(dir_, RegRoot::kLocalMachine, kMedia, &key));  // a directory
}

TEST_F(RegistryTest, FilesNotInTheFormAreRefusedWhole) {
  const std::string head = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\linkhub\\Media]\n";
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"value before any key", "\"a\"=\"x\"\n" + head},
      {"unterminated string", head + "\"a\"=\"x\n"},
      {"unterminated name", head + "\"a=\"x\"\n"},
      {"unknown escape", head + "\"a\"=\"x\\n\"\n"},
      {"junk after the value", head + "\"a\"=\"x\" y\n"},
      {"hex value", head + "\"a\"=hex:01,02\n"},
      {"deleted value", head + "\"a\"=-\n"},
      {"deleted key", "[-HKEY_LOCAL_MACHINE\\SOFTWARE]\n"},
      {"unknown root", "[HKEY_NOWHERE\\SOFTWARE]\n"},
      {"empty key part", "[HKEY_LOCAL_MACHINE\\\\SOFTWARE]\n"},
      {"unclosed key", "[HKEY_LOCAL_MACHINE\\SOFTWARE\n"},
      {"dword too long", head + "\"a\"=dword:000000001\n"},
      {"dword not hex", head + "\"a\"=dword:0000000g\n"},
      {"line without =", head + "\"a\"\n"},
      {"bare word", head + "hello\n"},
      {"version line later", head + "REGEDIT4\n"},
      {"UTF-16 export", std::string("\xFF\xFE[\0H\0", 6)},
      {"NUL inside", head + std::string("\"a\"=\"x\0y\"\n", 10)},
  };
  for (const Case& c : cases) {
    RegKey key;
    EXPECT_EQ(13, open(c.text, "SOFTWARE", &key)) << c.what;
  }
  // A UTF-8 byte order mark and a file without a final line break are fine.
  RegKey key;
  EXPECT_EQ(0, open("\xEF\xBB\xBFREGEDIT4\n" + head + "\"a\"=\"x\"", kMedia, &key));
  EXPECT_EQ(1u, key.values().size());
}

TEST_F(RegistryTest, EnumerationFollowsTheBufferRules) {
  RegKey key;
  ASSERT_EQ(0, open("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\linkhub\\Media]\n"
                    "\"usblink\"=\"/opt/lib/libusblink.so\"\n"
                    "\"n\"=dword:0000ABCD\n",
                    kMedia, &key));
  char name[128];
  uint8_t data[512];
  uint32_t nameChars = sizeof name, dataBytes = sizeof data, type = 0;
  ASSERT_EQ(0, regEnumValue(key, 0, name, &nameChars, &type, data, &dataBytes));
  EXPECT_STREQ("usblink", name);
  EXPECT_EQ(7u, nameChars);
  EXPECT_EQ(kRegSz, type);
  EXPECT_EQ(sizeof("/opt/lib/libusblink.so"), dataBytes);  // with its terminator
  EXPECT_STREQ("/opt/lib/libusblink.so", reinterpret_cast<char*>(data));

  // Too small: 234, and the size it needs.
  nameChars = 7;  // no room for the terminator
  dataBytes = sizeof data;
  EXPECT_EQ(234, regEnumValue(key, 0, name, &nameChars, &type, data, &dataBytes));
  nameChars = sizeof name;
  dataBytes = 22;
  EXPECT_EQ(234, regEnumValue(key, 0, name, &nameChars, &type, data, &dataBytes));
  EXPECT_EQ(23u, dataBytes);
  // No data buffer: only the size.
  nameChars = sizeof name;
  dataBytes = 0;
  EXPECT_EQ(0, regEnumValue(key, 0, name, &nameChars, nullptr, nullptr, &dataBytes));
  EXPECT_EQ(23u, dataBytes);

  nameChars = sizeof name;
  dataBytes = sizeof data;
  ASSERT_EQ(0, regEnumValue(key, 1, name, &nameChars, &type, data, &dataBytes));
  EXPECT_EQ(kRegDword, type);
  EXPECT_EQ(4u, dataBytes);
  EXPECT_EQ(0xCD, data[0]);
  EXPECT_EQ(0xAB, data[1]);
  nameChars = sizeof name;
  EXPECT_EQ(259, regEnumValue(key, 2, name, &nameChars, &type, data, &dataBytes));
}

TEST_F(RegistryTest, PathComesFromTheEnvironment) {
  setEnvironment("LINKHUB_REGISTRY", file_);
  EXPECT_EQ(file_, registryPath());
  write("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\linkhub\\Media]\n\"a\"=\"b\"\n");
  RegKey key;
  EXPECT_EQ(0, regOpenKey(RegRoot::kLocalMachine, kMedia, &key));
  setEnvironment("LINKHUB_REGISTRY", "");
  EXPECT_EQ(registryPathAmong(registrySearchPath()), registryPath());
}

// The installation prefix's file, then the system's; the environment above both.
TEST_F(RegistryTest, SearchPathPutsThePrefixBeforeEtc) {
  const std::vector<std::string> path = registrySearchPath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(VLN_PREFIX_REGISTRY, path.front());
  EXPECT_EQ("/etc/veltrano/registry.reg", path.back());
  EXPECT_EQ(path.size(), std::string(VLN_PREFIX_REGISTRY) == kSystemRegistry ? 1u : 2u);

  const std::string first = dir_ + "/prefix.reg", second = dir_ + "/etc.reg";
  const std::string missing = dir_ + "/none.reg";
  std::ofstream(second) << "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n";
  EXPECT_EQ(second, registryPathAmong({first, second}));
  std::ofstream(first) << "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n";
  EXPECT_EQ(first, registryPathAmong({first, second}));
  EXPECT_EQ(missing, registryPathAmong({dir_ + "/other.reg", missing}));

  setEnvironment("LINKHUB_REGISTRY", file_);
  EXPECT_EQ(file_, registryPath());
  setEnvironment("LINKHUB_REGISTRY", "");
}

}  // namespace
}  // namespace plat
