// The fixed parameter table the values and parameter file fuzzers work
// against: every type, enums (one with a repeated index), names that need
// escaping. Its index texts are canonical, so a file built from it reads
// back to the values that build it again.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ParcodecTestXml.h"

namespace parcodec_test {

inline const std::string& fuzzDefinition() {
  static const std::string xml = definitionXml(
      {{"i8", "int8_t"},
       {"u8", "uint8_t"},
       {"i16", "int16_t"},
       {"u16", "uint16_t"},
       {"i32", "int32_t"},
       {"u32", "uint32_t"},
       {"i64", "int64_t"},
       {"u64", "uint64_t"},
       {"f", "float"},
       {"g", "float"},
       {"a&b", "int16_t"},
       {"x<y>z\"'", "uint32_t"},
       {"mode", "Mode"},
       {"small", "uint8_t", "Small"},
       {"Group.speed", "int32_t"}},
      {{"Mode",
        "",
        {{"Off", "0"}, {"On", "1"}, {"Also on", "1"}, {"<&>", "2"}, {"Big", "4294967295"}}},
       {"", "Small", {{"A", "7"}, {"B", "255"}, {"Neg", "-1"}}}});
  return xml;
}

// Aborts the fuzzer with a message when an invariant breaks.
[[noreturn]] inline void invariantBroken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace parcodec_test
