#include "Conversions.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>

#include "logcodec/logcodec.h"
#include "odcodec/odcodec.h"
#include "parcodec/parcodec.h"
#include "scopecodec/scopecodec.h"
#include "toolsupport/WholeFile.h"

namespace datatool {

namespace {

using toolsupport::FileKind;
using toolsupport::readCodecInput;
using toolsupport::ToolError;
using toolsupport::writeWholeFile;

// Codec output buffers are malloc'ed and ours to free.
struct FreeDeleter {
  void operator()(const void* p) const { std::free(const_cast<void*>(p)); }
};
template <typename T>
using Owned = std::unique_ptr<T, FreeDeleter>;

struct Input {
  std::vector<char> bytes;
  const char* data() const { return bytes.empty() ? "" : bytes.data(); }
  // The codecs take 32-bit counts; a longer file would be silently cut.
  unsigned int length(const std::string& name) const {
    if (bytes.size() > std::numeric_limits<unsigned int>::max())
      throw ToolError("File too large: " + name);
    return static_cast<unsigned int>(bytes.size());
  }
};

// Text inputs carry one terminating zero, counted in their length.
Input readText(const std::string& name) { return {readCodecInput(name, FileKind::kText)}; }
Input readBinary(const std::string& name) { return {readCodecInput(name, FileKind::kBinary)}; }

struct LogHandleDeleter {
  void operator()(LogViewerHandle* h) const { LogViewerDestroyHandle(h); }
};
struct ParcodecHandleDeleter {
  void operator()(ParcodecHandle* h) const { ParcodecDestroyHandle(h); }
};

}  // namespace

void decodeLogs(const Files& logs, bool plain) {
  std::unique_ptr<LogViewerHandle, LogHandleDeleter> handle(LogViewerCreateHandle());
  if (!handle) throw std::bad_alloc();
  for (const auto& name : logs) {
    Input log = readBinary(name);
    if (!LogViewerDecodeAndAdd(handle.get(), log.data(), log.length(name)))
      throw ToolError(LogViewerGetLastError(handle.get()));
  }
  char* text = nullptr;
  bool done =
      plain ? LogViewerGetPlainText(handle.get(), &text) : LogViewerGetXML(handle.get(), &text);
  Owned<char> owned(text);
  if (!done || !text) throw ToolError(LogViewerGetLastError(handle.get()));
  std::cout << text << std::endl;
}

void decodeScopeCaptures(const Files& captures) {
  for (const auto& name : captures) {
    Input capture = readBinary(name);
    char* xml = nullptr;
    int result = DigScopeDecode(capture.data(), capture.length(name), &xml);
    Owned<char> owned(result == 0 ? xml : nullptr);
    if (result != 0 || !xml) {
      const char* text = DigScopeDecTranslateError(result);
      throw ToolError(result != 0 && text ? text : "DigScopeDecode fail");
    }
    std::cout << xml << std::endl;
  }
}

void convertParameters(const std::string& definition, const Files& defaults,
                       const std::string* binaryToDecode, const std::string& output) {
  std::unique_ptr<ParcodecHandle, ParcodecHandleDeleter> handle(ParcodecCreateHandle());
  if (!handle) throw std::bad_alloc();
  auto check = [&](bool ok) {
    if (!ok) throw ToolError(ParcodecGetLastError(handle.get()));
  };

  Input table = readText(definition);
  check(ParcodecSetDefinition(handle.get(), table.data(), table.length(definition)));
  if (binaryToDecode) {
    Input file = readBinary(*binaryToDecode);
    check(ParcodecInFromParFile(handle.get(), file.data(), file.length(*binaryToDecode)));
    char* xml = nullptr;
    check(ParcodecGetDataAsXML(handle.get(), &xml));
    Owned<char> owned(xml);
    writeWholeFile(output, xml, std::strlen(xml));
  } else {
    for (const auto& name : defaults) {
      Input values = readText(name);
      check(ParcodecAppendDefaults(handle.get(), values.data(), values.length(name)));
    }
    void* data = nullptr;
    int length = 0;
    check(ParcodecOutToDefParFile(handle.get(), &data, &length));
    Owned<void> owned(data);
    writeWholeFile(output, data, size_t(length));
  }
  std::cout << "Done!" << std::endl;
}

void convertObjectDictionary(const std::string& input, bool fromBinary, const std::string& output) {
  const char* error = nullptr;
  if (fromBinary) {
    Input file = readBinary(input);
    char* xml = nullptr;
    error = OdcodecToXML(file.data(), file.length(input), &xml);
    Owned<const char> ownedError(error);
    if (error) throw ToolError(error);
    Owned<char> owned(xml);
    if (!xml) throw std::bad_alloc();
    writeWholeFile(output, xml, std::strlen(xml));
  } else {
    Input text = readText(input);
    void* data = nullptr;
    int length = 0;
    error = OdcodecFromXML(text.data(), text.length(input), &data, &length);
    Owned<const char> ownedError(error);
    if (error) throw ToolError(error);
    Owned<void> owned(data);
    writeWholeFile(output, data, size_t(length));
  }
  std::cout << "Done!" << std::endl;
}

}  // namespace datatool
