// Takes the instance lock named by argv[1], prints the result code, and holds
// the lock until standard input closes.
#include <unistd.h>

#include <cstdio>

#include "plat/instance.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  plat::InstanceLock lock;
  std::printf("%d\n", lock.acquire(argv[1]));
  std::fflush(stdout);
  char c;
  while (::read(0, &c, 1) > 0) {
  }
  return 0;
}
