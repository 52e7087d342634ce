#include "PackageWriter.h"

#include <lz4.h>

#include <cstring>
#include <stdexcept>

#include "codeccommon/Crc32Variant.h"

namespace fwflash::testing {
namespace {

void put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + size_t(i)] = uint8_t(v >> (8 * i));
}
void put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
  out[at] = uint8_t(v);
  out[at + 1] = uint8_t(v >> 8);
}

}  // namespace

uint32_t tagOf(const char (&text)[5]) {
  return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 |
         uint32_t(uint8_t(text[2])) << 16 | uint32_t(uint8_t(text[3])) << 24;
}

size_t PackageWriter::add(const EntryFields& entry) {
  std::vector<uint8_t> data =
      entry.compression == 1 && !entry.raw ? lz4BlockStream(entry.data) : entry.data;
  std::vector<uint8_t> header(24, 0);
  put32(header, 4, entry.tag);
  put32(header, 8, entry.dataLength ? *entry.dataLength : uint32_t(data.size()));
  header[16] = entry.flag16;
  header[17] = entry.flag17;
  header[18] = entry.compression;
  put16(header, 20, uint16_t(entry.extension.size()));
  uint32_t crc = codec::crc32Variant(codec::kPackageEntrySeed, header.data(), header.size());
  crc = codec::crc32Variant(crc, entry.extension.data(), entry.extension.size());
  put32(header, 0, crc);

  const size_t offset = bytes_.size();
  bytes_.insert(bytes_.end(), header.begin(), header.end());
  bytes_.insert(bytes_.end(), entry.extension.begin(), entry.extension.end());
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return offset;
}

std::vector<uint8_t> lz4BlockStream(const std::vector<std::vector<uint8_t>>& blocks,
                                    std::vector<int>* compressedSizes) {
  LZ4_stream_t* stream = LZ4_createStream();
  if (!stream) throw std::runtime_error("LZ4_createStream");
  char input[2][512];  // adjacent, as the reader's output buffers are
  std::vector<uint8_t> out;
  int index = 0;
  for (const auto& block : blocks) {
    if (block.size() > 512) throw std::runtime_error("block over 512 bytes");
    char* in = input[index];
    if (!block.empty()) std::memcpy(in, block.data(), block.size());
    char compressed[LZ4_COMPRESSBOUND(512)];
    const int n = block.empty()
                      ? 0
                      : LZ4_compress_fast_continue(stream, in, compressed, int(block.size()),
                                                   int(sizeof compressed), 1);
    if (n < 0 || (n == 0 && !block.empty())) {
      LZ4_freeStream(stream);
      throw std::runtime_error("LZ4_compress_fast_continue");
    }
    out.push_back(uint8_t(n));
    out.push_back(uint8_t(n >> 8));
    out.insert(out.end(), compressed, compressed + n);
    if (compressedSizes) compressedSizes->push_back(n);
    index ^= 1;
  }
  LZ4_freeStream(stream);
  return out;
}

std::vector<uint8_t> lz4BlockStream(const std::vector<uint8_t>& data,
                                    std::vector<int>* compressedSizes) {
  std::vector<std::vector<uint8_t>> blocks;
  for (size_t at = 0; at < data.size(); at += 512)
    blocks.emplace_back(data.begin() + long(at),
                        data.begin() + long(std::min(data.size(), at + 512)));
  return lz4BlockStream(blocks, compressedSizes);
}

std::string moduleXml(const std::string& version, const std::string& target,
                      const std::string& subTarget, const std::string& verbose) {
  return "<?xml version=\"1.0\"?>\n<Module>\n  <Version>" + version + "</Version>\n  <Target>" +
         target + "</Target>\n  <SubTarget>" + subTarget + "</SubTarget>\n  <Verbose>" + verbose +
         "</Verbose>\n</Module>\n";
}

std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> simplePackage(const std::string& version, const std::string& target,
                                   const std::string& subTarget, const std::string& verbose) {
  PackageWriter writer;
  EntryFields boot;
  boot.tag = tagOf("boot");
  boot.data = bytesOf("boot loader image");
  writer.add(boot);
  EntryFields midd;
  midd.tag = tagOf("midd");
  midd.compression = 1;
  midd.data = bytesOf(moduleXml(version, target, subTarget, verbose));
  writer.add(midd);
  return writer.bytes();
}

}  // namespace fwflash::testing
