// Definition documents, handed over without a terminating zero, then a fixed
// data set and values.
#include "CalcodecFuzzDocs.h"
#include "CalcodecRoundTrip.h"

using namespace calfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<char[]> input = exactCopy(data, size);
  Handle h(CalcodecCreateHandle());
  if (!CalcodecAddDefinition(h.get(), input.get(), unsigned(size))) return 0;
  const std::string dataSet = withZero(kFuzz_dataset), values = withZero(kFuzz_datavalue);
  if (!CalcodecMergeDataSet(h.get(), dataSet.data(), unsigned(dataSet.size()))) return 0;
  if (!CalcodecMergeDataValue(h.get(), values.data(), unsigned(values.size()))) return 0;
  checkWrittenRecord(Documents{{std::string(input.get(), size)}, dataSet}, h.get());
  return 0;
}
