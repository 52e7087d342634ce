// The entries of a device log stream. Texts are views into the log image the
// handle keeps alive for as long as the entries exist.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "StreamReader.h"
#include "TextSink.h"

namespace logcodec {

class LogTree {
 public:
  virtual ~LogTree() = default;
  // Reads the entry body (the cursor stands just after the entry version).
  virtual bool decode(StreamReader& in) = 0;
  // The timestamp in nanoseconds, the sort key.
  virtual uint64_t getKey() const = 0;
  virtual void setKey(uint64_t key) = 0;
  virtual void writeText(TextSink& out) const = 0;
  virtual void writeXml(TextSink& out) const = 0;
};

struct Snapshot {
  uint8_t type = 0;
  std::string_view name;
  std::string_view description;
  std::string_view format;
  std::string_view unit;
  std::string valueText;  // printed with the device's format, or the default
  std::string rawText;    // printed with the default format
};

// An event: stream entry version 1.
class LogEntry1 final : public LogTree {
 public:
  bool decode(StreamReader& in) override;
  uint64_t getKey() const override { return timestamp_; }
  void setKey(uint64_t key) override { timestamp_ = key; }
  void writeText(TextSink& out) const override;
  void writeXml(TextSink& out) const override;

 private:
  bool decodeSnapshot(StreamReader& in, uint8_t type);

  uint64_t timestamp_ = 0;
  std::string_view severity_;
  std::string_view name_;
  std::string_view description_;
  std::vector<Snapshot> snapshots_;
};

// A timestamp alone: stream entry version 2. It orders the log but renders
// nothing.
class LogEntry2 final : public LogTree {
 public:
  bool decode(StreamReader& in) override;
  uint64_t getKey() const override { return timestamp_; }
  void setKey(uint64_t key) override { timestamp_ = key; }
  void writeText(TextSink&) const override {}
  void writeXml(TextSink&) const override {}

 private:
  uint64_t timestamp_ = 0;
};

}  // namespace logcodec
