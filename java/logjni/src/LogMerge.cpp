#include "LogMerge.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include "toolsupport/WholeFile.h"

namespace logjni {

namespace {

// A failed step must never pass for an empty result, not even when the codec
// left no text behind.
std::string failureText(const char* text) {
  if (!text || !*text) return "Exception error";
  return text;
}

struct HandleCloser {
  const LogCodec* codec;
  void operator()(LogViewerHandle* h) const { codec->destroyHandle(h); }
};

}  // namespace

std::vector<char> mergeLogs(const LogCodec& codec, const std::vector<std::string>& fileNames) {
  std::unique_ptr<LogViewerHandle, HandleCloser> handle(codec.createHandle(), HandleCloser{&codec});
  if (!handle) throw std::string("Exception error");

  for (const std::string& name : fileNames) {
    std::vector<char> bytes;
    try {
      // Reads to the end, so a pipe works and a directory is "not found".
      bytes = toolsupport::readWholeFile(name, toolsupport::FileKind::kBinary);
    } catch (const toolsupport::ToolError& e) {
      throw std::string(e.what());
    }
    if (bytes.size() > std::numeric_limits<unsigned int>::max())
      throw std::length_error("log file too large: " + name);
    static const char kNothing = 0;
    const void* data = bytes.empty() ? &kNothing : bytes.data();
    if (!codec.decodeAndAdd(handle.get(), data, static_cast<unsigned int>(bytes.size())))
      throw failureText(codec.getLastError(handle.get()));
  }

  char* xml = nullptr;
  const bool rendered = codec.getXml(handle.get(), &xml);
  std::unique_ptr<char, decltype(&std::free)> owned(xml, &std::free);
  if (!rendered || !xml) throw failureText(codec.getLastError(handle.get()));
  return std::vector<char>(xml, xml + std::strlen(xml));
}

}  // namespace logjni
