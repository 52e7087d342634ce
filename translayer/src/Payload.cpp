#include "translayer/Payload.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/ByteReader.h"
#include "translayer/TrIfTranRemote.h"

namespace translayer {

namespace {

// The smallest multiple of `step` holding `total`; 0 when that overflows.
uint64_t roundUp(uint64_t total, uint64_t step) {
  if (total > UINT64_MAX - (step - 1)) return 0;
  return (total + step - 1) / step * step;
}

// The capacity to grow to for `total` bytes: whole steps, and at least twice
// the old capacity, so that a message built or joined piece by piece costs
// few copies (realloc copies the block on growth under some allocators).
// 0 when no such size exists.
uint64_t grownCapacity(uint64_t capacity, uint64_t total, uint64_t step) {
  uint64_t needed = roundUp(total, step);
  if (needed == 0) return 0;
  uint64_t doubled = capacity <= UINT64_MAX / 2 ? capacity * 2 : 0;
  return std::max(needed, doubled);
}

template <typename T>
void storeLittleEndian(uint8_t* p, T v) {
  base::storeLittleEndian(p, uint64_t(v), sizeof(T));
}

}  // namespace

// ---- MessageWriter ----

MessageWriter::MessageWriter() {
  data_ = static_cast<uint8_t*>(std::malloc(kGrowStep));
  if (data_) capacity_ = kGrowStep;
}

MessageWriter::~MessageWriter() { std::free(data_); }

bool MessageWriter::reserve(uint64_t extra) {
  if (failed_) return false;
  if (extra <= capacity_ - length_) return true;
  uint64_t wanted =
      extra > UINT64_MAX - length_ ? 0 : grownCapacity(capacity_, length_ + extra, kGrowStep);
  void* grown = wanted && wanted <= SIZE_MAX ? std::realloc(data_, size_t(wanted)) : nullptr;
  if (!grown) {
    failed_ = true;
    return false;
  }
  data_ = static_cast<uint8_t*>(grown);
  capacity_ = wanted;
  return true;
}

bool MessageWriter::putU8(uint8_t v) { return putBytes(&v, 1); }

bool MessageWriter::putU16(uint16_t v) {
  uint8_t b[2];
  storeLittleEndian(b, v);
  return putBytes(b, sizeof b);
}

bool MessageWriter::putU32(uint32_t v) {
  uint8_t b[4];
  storeLittleEndian(b, v);
  return putBytes(b, sizeof b);
}

bool MessageWriter::putU64(uint64_t v) {
  uint8_t b[8];
  storeLittleEndian(b, v);
  return putBytes(b, sizeof b);
}

bool MessageWriter::putFloat(float v) {
  uint32_t bits;
  static_assert(sizeof bits == sizeof v);
  std::memcpy(&bits, &v, sizeof bits);
  return putU32(bits);
}

bool MessageWriter::putBytes(const void* p, size_t n) {
  if (!reserve(n)) return false;
  if (n) std::memcpy(data_ + length_, p, n);
  length_ += n;
  return true;
}

bool MessageWriter::send(TrIfTranRemote* to) const {
  if (failed_) return false;
  uint64_t sent = 0;
  while (sent < length_) {
    auto chunk = std::make_shared<TrIfTranPayload>();
    size_t n = size_t(std::min<uint64_t>(length_ - sent, kChunkData));
    std::memcpy(chunk->data, data_ + sent, n);
    sent += n;
    chunk->length = uint16_t(n);
    chunk->last = sent >= length_ ? 1 : 0;
    to->deliver(std::move(chunk));
  }
  return true;
}

// ---- MessageReader ----

MessageReader::~MessageReader() { std::free(data_); }

void MessageReader::reset() {
  std::free(data_);
  data_ = nullptr;
  length_ = capacity_ = position_ = 0;
  underrun_ = false;
}

MessageReader::Append MessageReader::append(const TrIfTranPayload& chunk) {
  // Grow first, move the length second: a block that cannot grow never gets
  // a length that claims bytes it does not hold.
  const uint64_t n = chunk.length;
  if (n > kChunkData || n > kMessageCap - length_) {
    reset();
    return Append::Failed;
  }
  const uint64_t total = length_ + n;
  if (total > capacity_) {
    // Never past the cap: the last block holds exactly what may come.
    uint64_t wanted = std::min(grownCapacity(capacity_, total, kGrowStep), kMessageCap);
    void* grown = std::realloc(data_, size_t(wanted));
    if (!grown) {
      reset();
      return Append::Failed;
    }
    data_ = static_cast<uint8_t*>(grown);
    capacity_ = wanted;
  }
  if (n) std::memcpy(data_ + length_, chunk.data, size_t(n));
  length_ = total;
  return chunk.last ? Append::Complete : Append::More;
}

// Each field goes through the shared reader over what is left; a field that
// does not fit moves to the end and marks the underrun.
template <typename Read>
auto MessageReader::read(Read&& field) {
  base::ByteReader in(data_ + position_, size_t(length_ - position_));
  auto v = field(in);
  if (in.failed()) {
    position_ = length_;
    underrun_ = true;
  } else {
    position_ += in.position();
  }
  return v;
}

uint8_t MessageReader::readU8() {
  return read([](base::ByteReader& in) { return in.u8(); });
}

uint16_t MessageReader::readU16() {
  return read([](base::ByteReader& in) { return in.u16(); });
}

uint32_t MessageReader::readU32() {
  return read([](base::ByteReader& in) { return in.u32(); });
}

uint64_t MessageReader::readU64() {
  return read([](base::ByteReader& in) { return in.u64(); });
}

float MessageReader::readFloat() {
  return read([](base::ByteReader& in) { return in.f32(); });
}

void MessageReader::readBytes(void* destination, size_t n) {
  read([&](base::ByteReader& in) { return in.bytes(destination, n); });
}

}  // namespace translayer
