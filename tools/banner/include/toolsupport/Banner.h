// The banner a console program prints about itself, from the version block
// attached to its own file (ProductName, ProductVersion, LegalCopyright of
// block 040904b0). A value that cannot be read skips its own line only; an
// empty value still prints its line.
#pragma once

#include <iostream>

namespace toolsupport {

// The codec tools' banner: an empty line, the product name, "Version " and the
// product version, the copyright line, an empty line; each line ended by endl.
void printBanner(std::ostream& out = std::cout);

// The device console's banner: full gives the three value lines without the
// empty lines, short (full == false) the product name alone.
void printBanner(bool full, std::ostream& out = std::cout);

}  // namespace toolsupport
