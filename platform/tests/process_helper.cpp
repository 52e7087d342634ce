// Prints this program's own path as the process layer tells it, once
// standard input has closed (so that a test can first move the file away).
#include <unistd.h>

#include <cstdio>

#include "plat/process.h"

int main() {
  char c;
  while (::read(0, &c, 1) > 0) {
  }
  std::printf("%s\n", plat::currentProgramPath().c_str());
  return 0;
}
