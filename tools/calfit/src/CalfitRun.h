// One calfit run: the codec calls of forward or reverse mode and the output
// file.
#pragma once

#include <iosfwd>

#include "CalfitCommandLine.h"

namespace calfit {

// Prints "Done" (unless quiet) and returns kExitDone, or prints the failure's
// message and returns kExitRunFailed. Nothing is written to the output file
// unless the codec produced it.
int runRequest(const CalfitRequest& request, std::ostream& out);

}  // namespace calfit
