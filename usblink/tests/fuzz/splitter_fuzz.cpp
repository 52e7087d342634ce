// The receive splitter against a one-shot parse of the same byte stream: fed
// in reads of any size (empty ones included), it must deliver exactly the
// complete records' frames, in order, and never touch memory outside its
// buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "TransferRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // Byte 0 picks the read length (whole packets of 1..256 bytes or more),
  // byte 1 the rhythm of the reads; the rest is the stream.
  const size_t readLength = 1 + size_t(data[0]) * 3;
  const uint8_t rhythm = data[1];
  const uint8_t* stream = data + 2;
  const size_t length = size - 2;

  std::vector<std::vector<uint8_t>> expected;
  size_t p = 0;
  while (p < length && p + 1 + stream[p] <= length) {
    if (stream[p] > 0) expected.emplace_back(stream + p + 1, stream + p + 1 + stream[p]);
    p += 1 + stream[p];
  }

  usblink::RecordSplitter splitter(readLength);
  std::vector<std::vector<uint8_t>> got;
  size_t at = 0;
  for (size_t i = 0; at < length; ++i) {
    size_t chunk = (size_t(rhythm) * (i + 7)) % (readLength + 1);  // 0 is an empty read
    if (chunk > length - at) chunk = length - at;
    if (chunk > splitter.readLength()) abort();
    std::vector<uint8_t> read(stream + at, stream + at + chunk);
    for (size_t k = 0; k < chunk; ++k) splitter.readSpace()[k] = read[k];
    splitter.consume(chunk, [&](uint8_t* frame, uint16_t n) {
      if (n == 0) abort();
      got.emplace_back(frame, frame + n);
    });
    if (splitter.kept() > usblink::RecordSplitter::kMaxCarry) abort();
    at += chunk;
    if (i > 4 * length + 16) break;  // a rhythm of empty reads only
  }
  if (at == length && got != expected) abort();
  return 0;
}
