// calfit: builds a calibration standard record from definitions, a data set
// and data values, or decodes one back to data value XML.
#include <iostream>

#include "CalfitCommandLine.h"
#include "CalfitRun.h"
#include "toolsupport/Banner.h"
#include "toolsupport/WholeFile.h"

int main(int argc, char** argv) {
  calfit::CalfitRequest request;
  int exitCode = calfit::kExitDone;
  if (!calfit::parseCommandLine(argc, argv, std::cout, request, exitCode)) return exitCode;
  if (!request.quiet) toolsupport::printBanner(std::cout);
  const int result = calfit::runRequest(request, std::cout);
  // "Done" that never arrived must not read as done.
  if (result == calfit::kExitDone && !toolsupport::flushStandardOutput())
    return calfit::kExitRunFailed;
  return result;
}
