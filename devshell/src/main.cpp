#include "ShellProgram.h"

int main(int argc, char** argv) { return runDevshell(argc, argv); }
