#include "CalfitCommandLine.h"

#include <boost/program_options.hpp>
#include <ostream>

#include "toolsupport/Banner.h"

namespace po = boost::program_options;

namespace calfit {

namespace {

constexpr unsigned kLineLength = 80;
constexpr unsigned kMinDescriptionWidth = 40;

using TextList = std::vector<std::string>;

po::options_description makeOptions() {
  po::options_description options("Allowed options", kLineLength, kMinDescriptionWidth);
  options.add_options()("help", "this help message")("definition,D", po::value<TextList>(),
                                                     "input data definition file(s)")(
      "dataset,S", po::value<TextList>(), "input data set file")(
      "datavalue,V", po::value<TextList>(), "input optional data value file(s)")(
      "reverse,R", po::value<TextList>(), "input binary file to be decoded")(
      "output,O", po::value<TextList>(), "resulting output file")("quiet,Q", "quiet output");
  return options;
}

TextList listOf(const po::variables_map& vm, const char* name) {
  return vm.count(name) ? vm[name].as<TextList>() : TextList();
}

}  // namespace

bool parseCommandLine(int argc, const char* const* argv, std::ostream& out, CalfitRequest& request,
                      int& exitCode) {
  po::options_description options = makeOptions();
  po::variables_map vm;
  try {
    po::store(po::parse_command_line(argc, argv, options), vm);
    po::notify(vm);
  } catch (const std::exception&) {
    out << options << std::endl;
    exitCode = kExitUnparsable;
    return false;
  }

  TextList definitions = listOf(vm, "definition"), dataSet = listOf(vm, "dataset"),
           dataValues = listOf(vm, "datavalue"), reverse = listOf(vm, "reverse"),
           output = listOf(vm, "output");
  bool valid = dataSet.size() == 1 && !vm.count("help") && !definitions.empty() &&
               !(vm.count("reverse") && vm.count("datavalue")) && output.size() == 1;
  if (!valid) {
    toolsupport::printBanner(out);
    out << options << std::endl;
    exitCode = kExitUsage;
    return false;
  }

  request.definitions = definitions;
  request.dataSet = dataSet.front();
  request.dataValues = dataValues;
  request.reverse = vm.count("reverse") > 0;
  if (request.reverse) request.reverseFile = reverse.front();
  request.output = output.front();
  request.quiet = vm.count("quiet") > 0;
  return true;
}

}  // namespace calfit
