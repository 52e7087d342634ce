// Writes the fuzz seeds: packages as the test writer makes them. The
// checked-in ones in module_info/ are its output.
#include <fstream>
#include <iostream>
#include <string>

#include "PackageWriter.h"

using namespace fwflash::testing;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_seeds DIR\n";
    return 1;
  }
  const std::string dir = argv[1];
  auto save = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream(dir + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  };
  save("simple.xpk", simplePackage("1.2.3", "target", "sub", "description"));

  PackageWriter three;
  std::string verbose;
  for (int i = 0; i < 60; ++i) verbose += "note " + std::to_string(i) + "; ";
  three.add({.tag = tagOf("boot"),
             .data = bytesOf("boot image bytes"),
             .extension = {1, 2, 3, 4, 5, 6, 7, 8}});
  three.add({.tag = tagOf("data"), .data = std::vector<uint8_t>(2000, 0x5A), .compression = 1});
  three.add({.tag = tagOf("midd"),
             .data = bytesOf(moduleXml("9.9", "t", "s", verbose)),
             .compression = 1});
  save("three.xpk", three.bytes());

  PackageWriter stored;
  stored.add({.tag = tagOf("midd"), .data = bytesOf(moduleXml("1", "2", "3", "4"))});
  save("stored.xpk", stored.bytes());
  return 0;
}
