#include "toolsupport/Banner.h"

#include <string>

#include "plat/verinfo.h"

namespace toolsupport {

namespace {

// A value that cannot be read skips its line; an empty one prints it.
void printValueLine(std::ostream& out, const char* prefix, const char* key) {
  std::string value;
  if (plat::readVersionString(key, &value)) out << prefix << value << std::endl;
}

void printValueLines(std::ostream& out) {
  printValueLine(out, "", "ProductName");
  printValueLine(out, "Version ", "ProductVersion");
  printValueLine(out, "", "LegalCopyright");
}

}  // namespace

void printBanner(std::ostream& out) {
  out << std::endl;
  printValueLines(out);
  out << std::endl;
}

void printBanner(bool full, std::ostream& out) {
  if (full)
    printValueLines(out);
  else
    printValueLine(out, "", "ProductName");
}

}  // namespace toolsupport
