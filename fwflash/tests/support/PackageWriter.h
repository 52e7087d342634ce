// Writes firmware packages for tests: stored and LZ4 entries, extension
// bytes, and the header fields a test wants wrong, each with a valid CRC
// unless the test breaks it afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fwflash::testing {

uint32_t tagOf(const char (&text)[5]);

struct EntryFields {
  uint32_t tag = 0;
  std::vector<uint8_t> data;  // the plain data (or the stored bytes when raw)
  uint8_t compression = 0;    // written as is; 1 compresses unless raw
  bool raw = false;           // data goes in unchanged
  std::vector<uint8_t> extension;
  uint8_t flag16 = 0;
  uint8_t flag17 = 0;
  std::optional<uint32_t> dataLength;  // D as written, when not the real size
};

class PackageWriter {
 public:
  // Appends an entry; returns its offset.
  size_t add(const EntryFields& entry);
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// The LZ4 block stream of `data`: the streaming compressor over two
// adjacent 512-byte input buffers used in turn, each block prefixed by its
// uint16 length. compressedSizes (when given) receives each block's n.
std::vector<uint8_t> lz4BlockStream(const std::vector<uint8_t>& data,
                                    std::vector<int>* compressedSizes = nullptr);
// The same over explicit block boundaries (each piece at most 512 bytes).
std::vector<uint8_t> lz4BlockStream(const std::vector<std::vector<uint8_t>>& blocks,
                                    std::vector<int>* compressedSizes = nullptr);

// A module information document with the four values.
std::string moduleXml(const std::string& version, const std::string& target,
                      const std::string& subTarget, const std::string& verbose);
std::vector<uint8_t> bytesOf(const std::string& text);

// A package of a stored "boot" entry and an LZ4 "midd" entry.
std::vector<uint8_t> simplePackage(const std::string& version, const std::string& target,
                                   const std::string& subTarget, const std::string& verbose);

}  // namespace fwflash::testing
