// datatool: runs one codec conversion on files. Exit codes: 0 done, 1 usage,
// -2 unreadable command line, -1 failed conversion.
#include <boost/program_options.hpp>
#include <iostream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Conversions.h"
#include "toolsupport/Banner.h"
#include "toolsupport/WholeFile.h"

namespace po = boost::program_options;

namespace {

constexpr int kUsage = 1;
constexpr int kBadCommandLine = -2;
constexpr int kFailed = -1;

using Values = std::vector<std::string>;

// Where an option's one value is used, it is the first given.
const std::string& first(const po::variables_map& options, const char* name) {
  return options[name].as<Values>().front();
}

void run(const po::variables_map& options) {
  if (options.count("inputlog")) {
    datatool::decodeLogs(options["inputlog"].as<Values>(), options.count("plain") > 0);
  } else if (options.count("inputdigscope")) {
    datatool::decodeScopeCaptures(options["inputdigscope"].as<Values>());
  } else if (options.count("paramtable")) {
    Values defaults =
        options.count("defaultsvalue") ? options["defaultsvalue"].as<Values>() : Values();
    const std::string* reverse = options.count("reverse") ? &first(options, "reverse") : nullptr;
    datatool::convertParameters(first(options, "paramtable"), defaults, reverse,
                                first(options, "output"));
  } else {
    datatool::convertObjectDictionary(first(options, "objdict"), options.count("odbin") > 0,
                                      first(options, "odoutput"));
  }
}

}  // namespace

int main(int argc, char** argv) {
  po::options_description optionTable;
  po::variables_map options;
  try {
    optionTable.add(datatool::makeOptions());
    po::store(po::parse_command_line(argc, argv, optionTable), options);
    po::notify(options);
  } catch (...) {
    std::cout << optionTable << std::endl;
    return kBadCommandLine;
  }

  if (!datatool::isRunnable(options)) {
    toolsupport::printBanner();
    std::cout << optionTable << std::endl;
    return kUsage;
  }
  const bool quiet = options.count("quiet") > 0;
  if (!quiet) toolsupport::printBanner();

  try {
    run(options);
  } catch (const toolsupport::ToolError& e) {
    std::cout << e.what() << std::endl;
    return kFailed;
  } catch (...) {
    std::cout << "Exception error." << std::endl;
    return kFailed;
  }
  // The conversions print their results: one that never arrived is a failure.
  if (!toolsupport::flushStandardOutput()) return kFailed;
  return 0;
}
