// Standard records read against fixed documents of every type: each input as
// it is, and again with its check value made to match, so the fuzzer gets
// past the check into the blocks.
#include "CalcodecFuzzDocs.h"
#include "CalcodecRoundTrip.h"
#include "codeccommon/Crc32Variant.h"

using namespace calfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Documents docs{{withZero(kFuzz_definition)}, withZero(kFuzz_dataset)};
  std::vector<uint8_t> record(data, data + size);
  checkRecordRoundTrip(docs, record);
  if (size >= 8) {
    uint32_t seed = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
                    uint32_t(data[3]) << 24;
    uint32_t check = codec::crc32Variant(seed, data + 4, size - 8);
    for (int i = 0; i < 4; ++i) record[size - 4 + i] = uint8_t(check >> (8 * i));
    checkRecordRoundTrip(docs, record);
  }
  return 0;
}
