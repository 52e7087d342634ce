#include "ParDecode.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

namespace parjni {

namespace {

struct HandleCloser {
  const ParCodec* codec;
  void operator()(ParcodecHandle* h) const { codec->destroyHandle(h); }
};

unsigned int codecLength(const std::vector<char>& bytes) {
  if (bytes.size() > std::numeric_limits<unsigned int>::max())
    throw std::length_error("input too large for the codec");
  return static_cast<unsigned int>(bytes.size());
}

const char* codecData(const std::vector<char>& bytes) {
  static const char kNothing = 0;
  return bytes.empty() ? &kNothing : bytes.data();
}

}  // namespace

std::string decodeParameters(const ParCodec& codec, const std::vector<char>& definition,
                             const std::vector<char>& parFile) {
  std::unique_ptr<ParcodecHandle, HandleCloser> handle(codec.createHandle(), HandleCloser{&codec});
  if (!handle) throw std::string("Exception error");
  // A failing step without text still fails: an empty String would look like
  // a file without parameters.
  auto fail = [&]() -> std::string {
    const char* text = codec.getLastError(handle.get());
    return (text && *text) ? std::string(text) : std::string("Exception error");
  };

  if (!codec.setDefinition(handle.get(), codecData(definition), codecLength(definition)))
    throw fail();
  if (!codec.inFromParFile(handle.get(), codecData(parFile), codecLength(parFile))) throw fail();
  char* xml = nullptr;
  const bool rendered = codec.getDataAsXml(handle.get(), &xml);
  std::unique_ptr<char, decltype(&std::free)> owned(xml, &std::free);
  if (!rendered || !xml) throw fail();
  return std::string(xml, std::strlen(xml));
}

}  // namespace parjni
