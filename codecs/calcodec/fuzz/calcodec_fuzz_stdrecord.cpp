// Standard records read against fixed documents of every type.
#include "CalcodecFuzzDocs.h"
#include "CalcodecRoundTrip.h"

using namespace calfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Documents docs{{withZero(kFuzz_definition)}, withZero(kFuzz_dataset)};
  checkRecordRoundTrip(docs, std::vector<uint8_t>(data, data + size));
  return 0;
}
