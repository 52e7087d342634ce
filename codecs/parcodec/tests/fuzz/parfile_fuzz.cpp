// Binary parameter files (untrusted) against a fixed definition. Whatever
// reads must render as well-formed XML; where the rendered values rebuild a
// file, that file must survive a further read-render-rebuild unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "FuzzTable.h"

using namespace parcodec_test;

namespace {

std::optional<std::vector<uint8_t>> rebuild(const std::string& xml) {
  Handle h;
  h.define(fuzzDefinition());
  if (!h.defaults(xml)) return std::nullopt;
  return h.write();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  Handle h;
  if (!h.define(fuzzDefinition())) invariantBroken("fixed definition loads");

  // Exact-size copy: a read past the end is caught.
  void* copy = std::malloc(size ? size : 1);
  if (size) std::memcpy(copy, data, size);
  bool read = ParcodecInFromParFile(h.get(), copy, unsigned(size));
  std::free(copy);

  // What was decoded, even before a failure, renders well-formed.
  auto xml = h.render();
  if (!xml) invariantBroken("decoded values render");
  if (!parseRendered(xml->c_str())) invariantBroken("rendered values are well-formed");
  if (!read) return 0;

  auto file = rebuild(*xml);
  if (!file) return 0;
  Handle reader;
  reader.define(fuzzDefinition());
  if (!reader.read(*file)) invariantBroken("a written file reads back");
  auto xml2 = reader.render();
  if (!xml2 || !parseRendered(xml2->c_str())) invariantBroken("rendered values are well-formed");
  auto again = rebuild(*xml2);
  if (!again || *again != *file) invariantBroken("file -> values -> file keeps the bytes");
  return 0;
}
