// The log binding's conversion, apart from JNI: files in, log events XML out.
#pragma once

#include <string>
#include <vector>

#include "logcodec/logcodec.h"

namespace logjni {

// The log codec's exports as the binding found them in the loaded library.
struct LogCodec {
  LogViewerHandle* (*createHandle)();
  void (*destroyHandle)(LogViewerHandle*);
  const char* (*getLastError)(LogViewerHandle*);
  bool (*decodeAndAdd)(LogViewerHandle*, const void*, unsigned int);
  bool (*getXml)(LogViewerHandle*, char**);
};

// Decodes every file, in order, into one handle and returns its XML without
// the terminating zero. A failure the Java caller must see as the binding's
// own exception is thrown as a std::string: "File not found: " + name, the
// codec's last error, or "Exception error" when a step failed without text.
std::vector<char> mergeLogs(const LogCodec& codec, const std::vector<std::string>& fileNames);

}  // namespace logjni
