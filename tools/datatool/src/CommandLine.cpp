#include "CommandLine.h"

#include <string>
#include <vector>

namespace po = boost::program_options;

namespace datatool {

namespace {

using Values = std::vector<std::string>;

size_t valueCount(const po::variables_map& options, const char* name) {
  return options.count(name) ? options[name].as<Values>().size() : 0;
}

}  // namespace

po::options_description makeOptions() {
  po::options_description generic("Generic options");
  generic.add_options()("help", "this help message")("quiet,Q", "quiet output");
  po::options_description logs("Event log decoder options");
  logs.add_options()("inputlog,L", po::value<Values>(), "input log file")("plain,P",
                                                                          "output as plain text");
  po::options_description scope("Digital scope decoder options");
  scope.add_options()("inputdigscope,D", po::value<Values>(), "input digital scope file");
  po::options_description parameters("Binary parameters encoder options");
  parameters.add_options()("paramtable,T", po::value<Values>(),
                           "input parameter table definition file")(
      "defaultsvalue,V", po::value<Values>(), "input default value file(s)")(
      "reverse,R", po::value<Values>(), "input binary file to be decoded")(
      "output,O", po::value<Values>(), "resulting output file");
  po::options_description dictionaries("Object dictionaries encoder options");
  dictionaries.add_options()("objdict,J", po::value<Values>(), "input object dictionary XML data")(
      "odbin,C", "input object dictionary as binary (reverse)")("odoutput,K", po::value<Values>(),
                                                                "resulting output file");

  po::options_description all;
  all.add(generic).add(logs).add(scope).add(parameters).add(dictionaries);
  return all;
}

bool isRunnable(const po::variables_map& options) {
  if (options.count("help")) return false;
  int mainOptions = 0;
  for (const char* name : {"inputlog", "inputdigscope", "paramtable", "objdict"})
    mainOptions += options.count(name) ? 1 : 0;
  if (mainOptions != 1) return false;

  if (options.count("inputlog")) return valueCount(options, "inputlog") >= 1;
  if (options.count("paramtable")) {
    if (valueCount(options, "paramtable") < 1) return false;
    bool defaults = options.count("defaultsvalue"), reverse = options.count("reverse");
    if (defaults == reverse) return false;
    if (reverse && valueCount(options, "reverse") != 1) return false;
    return valueCount(options, "output") == 1;
  }
  if (options.count("objdict"))
    return valueCount(options, "objdict") >= 1 && valueCount(options, "odoutput") == 1;
  return valueCount(options, "inputdigscope") >= 1;
}

}  // namespace datatool
