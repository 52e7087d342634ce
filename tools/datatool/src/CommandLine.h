// datatool's command line: its options and the rules that pick one
// conversion.
#pragma once

#include <boost/program_options.hpp>

namespace datatool {

// The five option groups, in the order the help shows them.
boost::program_options::options_description makeOptions();

// True when the options name exactly one conversion with the values it needs
// (and no help was asked for).
bool isRunnable(const boost::program_options::variables_map& options);

}  // namespace datatool
