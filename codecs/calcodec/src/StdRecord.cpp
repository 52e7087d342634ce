// The standard record: seed, one block per data-set entry, check.
//
//   block header (24 bytes): [0] bit 0 string, bit 1 mandatory, bits 2-7 index
//                            [1..19] name, zero-padded
//                            [20..23] value, or u16 text length + u16 zero
//   followed by the text bytes of a string block. All little-endian.
#include <cstring>
#include <limits>
#include <string>

#include "CalcodecHandle.h"
#include "codeccommon/CodecError.h"

namespace calcodec {

namespace {

constexpr size_t kHeaderSize = 24;
constexpr size_t kNameField = 19;  // name bytes, including its terminating zero when shorter
constexpr size_t kMaxText = 65535;
constexpr uint8_t kStringBit = 0x01;
constexpr uint8_t kMandatoryBit = 0x02;

void put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

uint16_t get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

uint32_t get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void append32(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t bytes[4];
  put32(bytes, v);
  out.insert(out.end(), bytes, bytes + 4);
}

// Hands out consecutive fields of the record and refuses any that would run
// past its end.
class RecordReader {
 public:
  RecordReader(const uint8_t* data, size_t length) : data_(data), length_(length) {}
  size_t remaining() const { return length_ - offset_; }
  const uint8_t* take(size_t n) {
    if (n > remaining()) codec::fail("Out of input data");
    const uint8_t* p = data_ + offset_;
    offset_ += n;
    return p;
  }

 private:
  const uint8_t* data_;
  size_t length_;
  size_t offset_ = 0;
};

std::string nameAndIdx(const std::string& name, unsigned index) {
  return name + " idx " + std::to_string(index);
}

}  // namespace

std::vector<uint8_t> writeStdRecord(CalcodecHandle& handle) {
  std::vector<uint8_t> out;
  append32(out, handle.crc);
  for (const auto& [key, entry] : handle.dataSet) {
    if (entry.name.size() >= kNameField) codec::fail("Name string too long: " + entry.name);
    if (!entry.hasValue) codec::fail("Missing value: " + entry.name);
    bool isString = !entry.text.empty();
    if (isString && entry.text.size() > kMaxText) codec::fail("Data overflow: " + entry.name);

    uint8_t header[kHeaderSize] = {};
    header[0] = uint8_t(entry.index << 2 | (entry.mandatory ? kMandatoryBit : 0) |
                        (isString ? kStringBit : 0));
    std::memcpy(header + 1, entry.name.data(), entry.name.size());
    if (isString)
      put16(header + 20, uint16_t(entry.text.size()));
    else
      put32(header + 20, entry.value);
    out.insert(out.end(), header, header + kHeaderSize);
    handle.crc = codec::crc32Variant(handle.crc, header, kHeaderSize);
    if (isString) {
      out.insert(out.end(), entry.text.begin(), entry.text.end());
      handle.crc = codec::crc32Variant(handle.crc, entry.text.data(), entry.text.size());
    }
    // The length travels out as an int.
    if (out.size() > size_t(std::numeric_limits<int>::max()) - 4)
      codec::fail("Data overflow: " + entry.name);
  }
  append32(out, handle.crc);
  return out;
}

void readStdRecord(CalcodecHandle& handle, const uint8_t* data, size_t length) {
  RecordReader reader(data, length);
  handle.crc = get32(reader.take(4));
  while (reader.remaining() >= kHeaderSize) {
    const uint8_t* header = reader.take(kHeaderSize);
    const char* nameField = reinterpret_cast<const char*>(header + 1);
    std::string name(nameField, strnlen(nameField, kNameField));
    unsigned index = header[0] >> 2;
    auto found = handle.dataSet.find(CalDataSetKey(name, uint8_t(index)));
    if (found == handle.dataSet.end())
      codec::fail("Entry not found while recovering: " + nameAndIdx(name, index));
    CalEntry& entry = found->second;
    if (entry.restored) codec::fail("Duplicated entry found: " + nameAndIdx(name, index));
    handle.crc = codec::crc32Variant(handle.crc, header, kHeaderSize);
    if (header[0] & kStringBit) {
      if (get16(header + 22) != 0) codec::fail("Unsupported record: " + nameAndIdx(name, index));
      size_t textLength = get16(header + 20);
      const uint8_t* text = reader.take(textLength);
      handle.crc = codec::crc32Variant(handle.crc, text, textLength);
      const char* chars = reinterpret_cast<const char*>(text);
      entry.text.assign(chars, strnlen(chars, textLength));
      entry.value = 0;
    } else {
      entry.value = get32(header + 20);
      entry.text.clear();
    }
    entry.restored = true;
  }
  if (reader.remaining() != 4) codec::fail("Recovered data size mismatch");
  if (get32(reader.take(4)) != handle.crc) codec::fail("Invalid CRC on recovered data");
}

}  // namespace calcodec
