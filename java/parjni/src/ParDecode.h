// The parameter binding's conversion, apart from JNI: a definition and a
// binary parameter file in, parameter values XML out.
#pragma once

#include <string>
#include <vector>

#include "parcodec/parcodec.h"

namespace parjni {

// The parameter codec's exports as the binding found them in the loaded library.
struct ParCodec {
  ParcodecHandle* (*createHandle)();
  void (*destroyHandle)(ParcodecHandle*);
  const char* (*getLastError)(ParcodecHandle*);
  bool (*setDefinition)(ParcodecHandle*, const char*, unsigned int);
  bool (*inFromParFile)(ParcodecHandle*, const void*, unsigned int);
  bool (*getDataAsXml)(ParcodecHandle*, char**);
};

// Reads the file against the definition and returns the values XML without
// its terminating zero. A failed step throws a std::string: the codec's last
// error, or "Exception error" when it left none.
std::string decodeParameters(const ParCodec& codec, const std::vector<char>& definition,
                             const std::vector<char>& parFile);

}  // namespace parjni
