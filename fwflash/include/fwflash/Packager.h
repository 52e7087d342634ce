// Reader of firmware packages: a run of entries, each a 24-byte header, E
// extension bytes and D data bytes, with no package header and no count.
// The header CRC covers the header (its CRC field as zeros) and the
// extension. Data is stored or an LZ4 block stream: uint16 n, then one LZ4
// block of n bytes decoding to at most 512 bytes that may refer back into the
// two 512-byte output buffers used in turn.
//
// One Packager serves one reading of one package on one thread. It owns no
// package bytes: the Callback supplies them and receives what is extracted.
#pragma once

#include <cstdint>

namespace fwflash {

// Result codes; callbacks' own negative values are passed on unchanged.
inline constexpr int kMalformed = -42;    // short read, CRC, flags, compression, walk
inline constexpr int kBadLz4 = -14;       // a block that does not decode
inline constexpr int kShortWrite = -132;  // the write callback took fewer bytes

inline constexpr uint32_t kEntryHeaderSize = 24;
inline constexpr uint32_t kModuleInfoTag = 0x6464696Du;  // "midd"
inline constexpr int kOutputBufferSize = 512;
inline constexpr int kInputBufferSize = 548;

struct PackageEntryHeader {
  uint32_t crc = 0;  // as stored
  uint32_t tag = 0;
  uint32_t dataLength = 0;
  uint32_t unused12 = 0;
  uint8_t flag16 = 0;
  uint8_t flag17 = 0;
  uint8_t compression = 0;  // 0 stored, 1 LZ4 block stream
  uint8_t unused19 = 0;
  uint16_t extensionLength = 0;
  uint16_t unused22 = 0;

  // Where the next entry starts, in 64 bits so that no length wraps it.
  uint64_t nextOffset(uint64_t offset) const {
    return offset + kEntryHeaderSize + extensionLength + uint64_t(dataLength);
  }
};

class Packager {
 public:
  // Called on the Packager's caller's thread, never re-entered.
  class Callback {
   public:
    virtual ~Callback() = default;
    // Copies up to `length` package bytes from `position`; the count copied
    // (0 at or past the end), or a negative error.
    virtual int read(uint32_t position, uint8_t* destination, int length) = 0;
    // Takes extracted data; the count accepted, or a negative error.
    virtual int write(const uint8_t* source, int length) = 0;
  };

  explicit Packager(Callback& callback) : callback_(callback) {}

  // 0 with the header (its stored CRC) when the header and its extension
  // check; kMalformed or a callback's error otherwise.
  int readEntryHeader(uint64_t offset, PackageEntryHeader* header);
  // Streams the entry's data, which follows its extension, to the write
  // callback in pieces of at most 548 (stored) or 512 (LZ4) bytes; the total
  // written or an error.
  int extractEntry(uint64_t offset);
  // Walks from offset 0 to the first entry tagged `tag` in a package of
  // `packageSize` bytes; 0 with its offset, or an error. A next offset that
  // is not past the current one or lies beyond the package is kMalformed.
  int findEntry(uint32_t tag, uint64_t packageSize, uint64_t* offset);

 private:
  int readExact(uint64_t position, uint8_t* destination, int length);
  int decodeBlock(const uint8_t* block, int n, int* produced);

  Callback& callback_;
  // The two output buffers, adjacent, so that a block's dictionary is one
  // run from the start of buffer 0 to the end of the block before it.
  uint8_t output_[2 * kOutputBufferSize] = {};
  uint8_t scratch_[kOutputBufferSize] = {};
  uint8_t input_[kInputBufferSize] = {};
  int current_ = 0;      // output buffer the next block goes to
  int previousEnd_ = 0;  // end of the previous block inside output_
};

}  // namespace fwflash
