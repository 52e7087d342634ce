// Values XML against a fixed definition. Whatever builds a file must read
// back, render as well-formed XML, and rebuild the very same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "FuzzTable.h"

using namespace parcodec_test;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  Handle h;
  if (!h.define(fuzzDefinition())) invariantBroken("fixed definition loads");

  char* copy = static_cast<char*>(std::malloc(size ? size : 1));
  if (size) std::memcpy(copy, data, size);
  ParcodecAppendDefaults(h.get(), copy, unsigned(size));
  std::free(copy);

  // Parameters applied before a failure stay applied, so write either way.
  auto file = h.write();
  if (!file) return 0;

  Handle reader;
  reader.define(fuzzDefinition());
  if (!reader.read(*file)) invariantBroken("a written file reads back");
  auto xml = reader.render();
  if (!xml) invariantBroken("decoded values render");
  if (!parseRendered(xml->c_str())) invariantBroken("rendered values are well-formed");

  Handle again;
  again.define(fuzzDefinition());
  if (!again.defaults(*xml)) invariantBroken("rendered values apply");
  auto rebuilt = again.write();
  if (!rebuilt || *rebuilt != *file)
    invariantBroken("values -> file -> values -> file keeps the bytes");
  return 0;
}
