#include <string>
#include <vector>

#include "Program.h"

int main(int argc, char** argv) {
  return protoprobe::runProtoprobe(std::vector<std::string>(argv, argv + argc));
}
