// Data value documents, handed over without a terminating zero, against fixed
// definitions and data set.
#include "CalcodecFuzzDocs.h"
#include "CalcodecRoundTrip.h"

using namespace calfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Documents docs{{withZero(kFuzz_definition)}, withZero(kFuzz_dataset)};
  std::unique_ptr<char[]> input = exactCopy(data, size);
  Handle h = load(docs);
  check(h != nullptr, "documents load");
  if (!CalcodecMergeDataValue(h.get(), input.get(), unsigned(size))) return 0;
  checkWrittenRecord(docs, h.get());
  return 0;
}
