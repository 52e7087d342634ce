// One chunk of a logical message on a channel pipe, and the buffers that cut a
// message into chunks and join chunks into a message.
//
// Wire form of a chunk (one pipe record): the last flag, then 0..1024 data
// bytes. `last` and `data` are contiguous so that the record is written from
// and read into &last directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace translayer {

inline constexpr size_t kChunkData = 1024;
inline constexpr size_t kPipeRecordMax = kChunkData + 1;
// A reassembled message larger than this ends its channel.
inline constexpr uint64_t kMessageCap = 64ull * 1024 * 1024;

struct TrIfTranPayload {
  uint16_t length = 0;  // valid data bytes, 0..1024
  uint8_t last = 0;     // 1 on the final chunk of a message
  uint8_t data[kChunkData];

  uint8_t* record() { return &last; }
  size_t recordLength() const { return size_t(length) + 1; }
};
static_assert(offsetof(TrIfTranPayload, data) == offsetof(TrIfTranPayload, last) + 1);

class TrIfTranRemote;

// Outgoing message buffer. Starts with an 8192-byte block; grows to a
// multiple of 8192 that holds the message, at least doubling. A put that cannot grow
// the block writes nothing and marks the writer failed; a failed writer sends
// nothing, so no half-built request ever reaches the peer.
class MessageWriter {
 public:
  MessageWriter();
  ~MessageWriter();
  MessageWriter(const MessageWriter&) = delete;
  MessageWriter& operator=(const MessageWriter&) = delete;

  // Empties the message (keeping the block) and clears the failed mark.
  void clear() {
    length_ = 0;
    failed_ = false;
  }
  // Little-endian fields; false (and failed()) when the block cannot grow.
  bool putU8(uint8_t v);
  bool putU16(uint16_t v);
  bool putU32(uint32_t v);
  bool putU64(uint64_t v);
  bool putFloat(float v);
  bool putBytes(const void* p, size_t n);

  const uint8_t* data() const { return data_; }
  uint64_t length() const { return length_; }
  uint64_t capacity() const { return capacity_; }
  bool failed() const { return failed_; }

  // Cuts the message into chunks of at most 1024 bytes, every one but the
  // last full, the last flag on the final one only, and hands each to
  // `to->deliver` in order (its result is not consulted: a refusing engine
  // ends its channel, which the caller learns from there). Length 0 sends
  // nothing. False, with nothing sent, when the writer failed.
  bool send(TrIfTranRemote* to) const;

  static constexpr uint64_t kGrowStep = 8192;

 private:
  bool reserve(uint64_t extra);
  uint8_t* data_ = nullptr;
  uint64_t capacity_ = 0;
  uint64_t length_ = 0;
  bool failed_ = false;
};

// Incoming reassembly and parse buffer. Reads past the end yield 0, set
// underrun() and move the position to the end; check underrun() once after
// parsing.
class MessageReader {
 public:
  MessageReader() = default;
  ~MessageReader();
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  enum class Append { More, Complete, Failed };
  // Adds one chunk: the block first grows (to a multiple of 8192, at least
  // doubling, never past kMessageCap) to hold it, and
  // only then the length moves on. Complete when the chunk carries the last
  // flag (any non-zero value). Failed when the block cannot grow, the message
  // would pass kMessageCap, or the chunk claims more than 1024 bytes; the
  // message is then dropped (the reader is empty again) and the caller ends
  // the channel.
  Append append(const TrIfTranPayload& chunk);
  // Frees the block and empties the reader for the next message.
  void reset();

  static constexpr uint64_t kGrowStep = 8192;

  uint8_t readU8();
  uint16_t readU16();
  uint32_t readU32();
  uint64_t readU64();
  float readFloat();
  void readBytes(void* destination, size_t n);

  const uint8_t* data() const { return data_; }
  uint64_t length() const { return length_; }
  uint64_t capacity() const { return capacity_; }
  uint64_t position() const { return position_; }
  uint64_t remaining() const { return length_ - position_; }
  bool underrun() const { return underrun_; }

 private:
  template <typename Read>
  auto read(Read&& field);
  uint8_t* data_ = nullptr;
  uint64_t length_ = 0;
  uint64_t capacity_ = 0;
  uint64_t position_ = 0;
  bool underrun_ = false;
};

}  // namespace translayer
