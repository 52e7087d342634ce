#include "CUpdaterApp.h"

int main(int argc, char** argv) { return fwflash::runUpdaterApp(argc, argv); }
