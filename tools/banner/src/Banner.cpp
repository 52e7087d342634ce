#include "toolsupport/Banner.h"

#include <string>

#include "plat/verinfo.h"

namespace toolsupport {

namespace {

void printValueLine(std::ostream& out, const char* prefix, const char* key) {
  // The block gives no way to tell an empty value from a missing one; an
  // empty line would only look like a damaged banner.
  std::string value = plat::getVersionString(key);
  if (!value.empty()) out << prefix << value << std::endl;
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
