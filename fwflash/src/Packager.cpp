#include "fwflash/Packager.h"

#include <lz4.h>

#include <algorithm>
#include <cstring>

#include "base/ByteReader.h"
#include "codeccommon/Crc32Variant.h"

namespace fwflash {
namespace {

constexpr int kCrcPiece = 16;

}  // namespace

// The callback addresses the package in 32 bits; nothing beyond that exists.
int Packager::readExact(uint64_t position, uint8_t* destination, int length) {
  if (position + uint64_t(length) > 0x100000000ull) return kMalformed;
  const int got = callback_.read(uint32_t(position), destination, length);
  if (got < 0) return got;
  return got < length ? kMalformed : 0;
}

int Packager::readEntryHeader(uint64_t offset, PackageEntryHeader* header) {
  uint8_t raw[kEntryHeaderSize];
  if (int rc = readExact(offset, raw, kEntryHeaderSize)) return rc;
  PackageEntryHeader h;
  base::ByteReader fields(raw, kEntryHeaderSize);
  h.crc = fields.u32();
  h.tag = fields.u32();
  h.dataLength = fields.u32();
  h.unused12 = fields.u32();
  h.flag16 = fields.u8();
  h.flag17 = fields.u8();
  h.compression = fields.u8();
  h.unused19 = fields.u8();
  h.extensionLength = fields.u16();
  h.unused22 = fields.u16();

  std::memset(raw, 0, 4);
  uint32_t crc = codec::crc32Variant(codec::kPackageEntrySeed, raw, kEntryHeaderSize);
  uint64_t position = offset + kEntryHeaderSize;
  for (int left = h.extensionLength; left > 0;) {
    uint8_t piece[kCrcPiece];
    const int n = std::min(left, kCrcPiece);
    if (int rc = readExact(position, piece, n)) return rc;
    crc = codec::crc32Variant(crc, piece, size_t(n));
    position += uint64_t(n);
    left -= n;
  }
  if (crc != h.crc) return kMalformed;
  *header = h;
  return 0;
}

// Decodes into the scratch buffer, never into the bytes the dictionary
// covers, then copies the result into the current output buffer. The
// dictionary is the double-buffer writer's window: from the start of buffer
// 0 to the end of the previous block, so a short block may still refer to
// the older tail of the buffer it is about to reuse.
int Packager::decodeBlock(const uint8_t* block, int n, int* produced) {
  const int got = LZ4_decompress_safe_usingDict(
      reinterpret_cast<const char*>(block), reinterpret_cast<char*>(scratch_), n, kOutputBufferSize,
      reinterpret_cast<const char*>(output_), previousEnd_);
  if (got <= 0) return kBadLz4;
  uint8_t* target = output_ + current_ * kOutputBufferSize;
  std::memcpy(target, scratch_, size_t(got));
  *produced = got;
  return 0;
}

int Packager::extractEntry(uint64_t offset) {
  PackageEntryHeader h;
  if (int rc = readEntryHeader(offset, &h)) return rc;
  if (h.flag16 != 0 || h.flag17 != 0 || h.compression > 1) return kMalformed;

  current_ = 0;
  previousEnd_ = 0;
  uint64_t position = offset + kEntryHeaderSize + h.extensionLength;
  uint32_t remaining = h.dataLength;
  int buffered = 0;
  int64_t total = 0;
  if (remaining == 0) return 0;  // an empty stream of either kind
  while (true) {
    const int fill = int(std::min<uint64_t>(uint64_t(kInputBufferSize - buffered), remaining));
    if (fill > 0) {
      if (int rc = readExact(position, input_ + buffered, fill)) return rc;
      position += uint64_t(fill);
      buffered += fill;
      remaining -= uint32_t(fill);
    }

    const uint8_t* out = nullptr;
    int produced = 0;
    int consumed = 0;
    if (h.compression == 0) {
      out = input_;
      produced = buffered;
      consumed = buffered;
    } else {
      if (buffered < 2) return kBadLz4;
      const int n = base::loadU16(input_);
      if (buffered < 2 + n) return kBadLz4;
      if (n > 0) {
        if (int rc = decodeBlock(input_ + 2, n, &produced)) return rc;
        out = output_ + current_ * kOutputBufferSize;
      }
      previousEnd_ = current_ * kOutputBufferSize + produced;
      current_ ^= 1;
      consumed = n + 2;
    }

    if (produced > 0) {
      const int taken = callback_.write(out, produced);
      if (taken < 0) return taken;
      if (taken < produced) return kShortWrite;
      total += taken;
      if (total > 0x7FFFFFFF) return kMalformed;
    }
    std::memmove(input_, input_ + consumed, size_t(buffered - consumed));
    buffered -= consumed;
    if (remaining == 0 && buffered == 0) return int(total);
  }
}

int Packager::findEntry(uint32_t tag, uint64_t packageSize, uint64_t* offset) {
  uint64_t at = 0;
  while (true) {
    PackageEntryHeader h;
    if (int rc = readEntryHeader(at, &h)) return rc;
    if (h.tag == tag) {
      *offset = at;
      return 0;
    }
    const uint64_t next = h.nextOffset(at);
    if (next <= at || next > packageSize) return kMalformed;
    at = next;
  }
}

}  // namespace fwflash
