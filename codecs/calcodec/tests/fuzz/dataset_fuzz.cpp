// Data set documents, handed over without a terminating zero, against fixed
// definitions (with defaults) and values.
#include "CalcodecFuzzDocs.h"
#include "CalcodecRoundTrip.h"

using namespace calfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<char[]> input = exactCopy(data, size);
  const std::string definition = withZero(kFuzz_definition), values = withZero(kFuzz_datavalue);
  Handle h(CalcodecCreateHandle());
  check(CalcodecAddDefinition(h.get(), definition.data(), unsigned(definition.size())),
        "definition loads");
  if (!CalcodecMergeDataSet(h.get(), input.get(), unsigned(size))) return 0;
  CalcodecMergeDataValue(h.get(), values.data(),
                         unsigned(values.size()));  // may name absent entries
  checkWrittenRecord(Documents{{definition}, std::string(input.get(), size)}, h.get());
  return 0;
}
