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

std::string nameAndIdx(const std::string& name, unsigned index) {
  return name + " idx " + std::to_string(index);
}

}  // namespace

std::vector<uint8_t> writeStdRecord(CalcodecHandle& handle) {
  base::ByteWriter out;
  out.u32(handle.crc);
  for (const auto& [key, entry] : handle.dataSet) {
    if (entry.name.size() >= kNameField) codec::fail("Name string too long: " + entry.name);
    if (!entry.hasValue) codec::fail("Missing value: " + entry.name);
    bool isString = !entry.text.empty();
    if (isString && entry.text.size() > kMaxText) codec::fail("Data overflow: " + entry.name);

    const size_t headerAt = out.size();
    out.u8(uint8_t(entry.index << 2 | (entry.mandatory ? kMandatoryBit : 0) |
                   (isString ? kStringBit : 0)));
    out.bytes(entry.name.data(), entry.name.size()).zeros(kNameField - entry.name.size());
    if (isString)
      out.u16(uint16_t(entry.text.size())).u16(0);
    else
      out.u32(entry.value);
    handle.crc = codec::crc32Variant(handle.crc, out.data().data() + headerAt, kHeaderSize);
    if (isString) {
      out.bytes(entry.text.data(), entry.text.size());
      handle.crc = codec::crc32Variant(handle.crc, entry.text.data(), entry.text.size());
    }
    // The length travels out as an int.
    if (out.size() > size_t(std::numeric_limits<int>::max()) - 4)
      codec::fail("Data overflow: " + entry.name);
  }
  out.u32(handle.crc);
  return out.take();
}

void readStdRecord(CalcodecHandle& handle, const uint8_t* data, size_t length) {
  base::ByteReader reader(data, length);
  // A record too short for its seed leaves the handle's running value alone.
  const uint32_t seed = reader.u32();
  codec::requireInput(reader);
  handle.crc = seed;
  while (reader.remaining() >= kHeaderSize) {
    const uint8_t* header = reader.view(kHeaderSize);
    base::ByteReader fields(header, kHeaderSize);
    const uint8_t flags = fields.u8();
    const char* nameField = reinterpret_cast<const char*>(fields.view(kNameField));
    std::string name(nameField, strnlen(nameField, kNameField));
    unsigned index = flags >> 2;
    auto found = handle.dataSet.find(CalDataSetKey(name, uint8_t(index)));
    if (found == handle.dataSet.end())
      codec::fail("Entry not found while recovering: " + nameAndIdx(name, index));
    CalEntry& entry = found->second;
    if (entry.restored) codec::fail("Duplicated entry found: " + nameAndIdx(name, index));
    handle.crc = codec::crc32Variant(handle.crc, header, kHeaderSize);
    if (flags & kStringBit) {
      size_t textLength = fields.u16();
      if (fields.u16() != 0) codec::fail("Unsupported record: " + nameAndIdx(name, index));
      const uint8_t* text = reader.view(textLength);
      codec::requireInput(reader);
      handle.crc = codec::crc32Variant(handle.crc, text, textLength);
      const char* chars = reinterpret_cast<const char*>(text);
      entry.text.assign(chars, strnlen(chars, textLength));
      entry.value = 0;
    } else {
      entry.value = fields.u32();
      entry.text.clear();
    }
    entry.restored = true;
  }
  if (reader.remaining() != 4) codec::fail("Recovered data size mismatch");
  if (reader.u32() != handle.crc) codec::fail("Invalid CRC on recovered data");
}

}  // namespace calcodec
