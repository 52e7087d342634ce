// The entries of a device log stream. They live in the handle's EntryStore;
// their texts are views into the log image the handle keeps alive for as long
// as the entries exist, or into the store (printed values).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "EntryStore.h"
#include "TextSink.h"
#include "svcwire/ByteReader.h"

namespace logcodec {

struct Snapshot {
  uint8_t type = 0;
  std::string_view name;
  std::string_view description;
  std::string_view format;
  std::string_view unit;
  std::string_view valueText;  // printed with the device's format, or the default
  std::string_view rawText;    // printed with the default format
};

// What decoding reuses from one entry to the next.
struct DecodeScratch {
  std::vector<Snapshot> snapshots;
  std::string printed;
};

// Entries are made in an EntryStore and never destroyed one by one.
class LogTree {
 public:
  // Reads the entry body (the cursor stands just after the entry version);
  // what outlives the call goes into `store`.
  virtual bool decode(svcwire::ByteReader& in, EntryStore& store, DecodeScratch& scratch) = 0;
  // The timestamp in nanoseconds, the sort key.
  virtual uint64_t getKey() const = 0;
  virtual void setKey(uint64_t key) = 0;
  virtual void writeText(TextSink& out) const = 0;
  virtual void writeXml(TextSink& out) const = 0;

 protected:
  ~LogTree() = default;
};

// An event: stream entry version 1.
class LogEntry1 final : public LogTree {
 public:
  bool decode(svcwire::ByteReader& in, EntryStore& store, DecodeScratch& scratch) override;
  uint64_t getKey() const override { return timestamp_; }
  void setKey(uint64_t key) override { timestamp_ = key; }
  void writeText(TextSink& out) const override;
  void writeXml(TextSink& out) const override;

 private:
  static bool decodeSnapshot(svcwire::ByteReader& in, uint8_t type, EntryStore& store,
                             DecodeScratch& scratch);

  uint64_t timestamp_ = 0;
  std::string_view severity_;
  std::string_view name_;
  std::string_view description_;
  std::span<const Snapshot> snapshots_;
};

// A timestamp alone: stream entry version 2. It orders the log but renders
// nothing.
class LogEntry2 final : public LogTree {
 public:
  bool decode(svcwire::ByteReader& in, EntryStore& store, DecodeScratch& scratch) override;
  uint64_t getKey() const override { return timestamp_; }
  void setKey(uint64_t key) override { timestamp_ = key; }
  void writeText(TextSink&) const override {}
  void writeXml(TextSink&) const override {}

 private:
  uint64_t timestamp_ = 0;
};

}  // namespace logcodec
