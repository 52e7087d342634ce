#include "CaptureDecoder.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <memory>
#include <new>
#include <cstring>
#include <string_view>
#include <vector>

#include "FloatText.h"
#include "codeccommon/CodecError.h"
#include "codeccommon/XmlText.h"

namespace scopecodec {

namespace {

constexpr uint8_t kApiLevel = 1;
constexpr size_t kValueBytes = 8;  // the widest sample, threshold or word
constexpr size_t kBlockHeaderBytes = 8;
constexpr uint32_t kNoTriggerBit = 0x80000000u;

// Bounds-checked little-endian reads over the capture.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t offset() const { return offset_; }
  size_t remaining() const { return size_ - offset_; }
  const uint8_t* here() const { return data_ + offset_; }

  bool skip(size_t n) {
    if (remaining() < n) return false;
    offset_ += n;
    return true;
  }
  bool u8(uint8_t& v) { return unsignedLe(v); }
  bool u16(uint16_t& v) { return unsignedLe(v); }
  bool u32(uint32_t& v) { return unsignedLe(v); }
  bool f32(float& v) {
    uint32_t bits = 0;
    if (!u32(bits)) return false;
    std::memcpy(&v, &bits, sizeof v);
    return true;
  }
  bool bytes(uint8_t* out, size_t n) {
    if (remaining() < n) return false;
    std::memcpy(out, here(), n);
    offset_ += n;
    return true;
  }

 private:
  template <typename T>
  bool unsignedLe(T& v) {
    if (remaining() < sizeof(T)) return false;
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) value = T(value | T(T(data_[offset_ + i]) << (8 * i)));
    v = value;
    offset_ += sizeof(T);
    return true;
  }

  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

struct Trigger {
  uint16_t remoteIndex = 0;
  uint8_t type = 0;
  uint8_t thresholdLength = 0;
  uint8_t threshold[kValueBytes] = {};
};

struct Channel {
  uint16_t remoteIndex = 0;
  uint8_t sampleSize = 0;
  uint8_t divider = 0;
  float sampleTime = 0;
  uint8_t words = 0;  // data words one sample takes
};

struct Sample {
  uint32_t timeText;  // index of the step's time text
  uint32_t offset;    // of the sample's first byte in the capture
};

// The time text of every step that has samples, written once and shared by
// the channels sampled at that step.
class StepTimes {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;
  uint32_t add(float time) {
    appendFloatText(texts_, time);
    ends_.push_back(texts_.size());
    return uint32_t(ends_.size() - 1);
  }
  std::string_view text(uint32_t index) const {
    size_t begin = index ? ends_[index - 1] : 0;
    return std::string_view(texts_).substr(begin, ends_[index] - begin);
  }

 private:
  std::string texts_;
  std::vector<size_t> ends_;
};

void appendUnsigned(std::string& out, uint64_t value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

void appendFloat(std::string& out, float value) { appendFloatText(out, value); }

void writeConfiguration(std::string& xml, const uint8_t* parameterSet, uint8_t filler, float captureTime,
                        float pretriggerTime, const std::vector<Trigger>& triggers,
                        const std::vector<Channel>& channels) {
  xml += codec::kXmlDeclaration;
  xml += "<DigitalScope apilevel=\"1\" timeunit=\"sec\"><Configuration><ParameterSet>";
  codec::appendHex(xml, parameterSet, 16);
  xml += "</ParameterSet><Arm><Filler>";
  appendUnsigned(xml, filler);
  xml += "</Filler><Capturetime>";
  appendFloat(xml, captureTime);
  xml += "</Capturetime><Pretriggertime>";
  appendFloat(xml, pretriggerTime);
  xml += "</Pretriggertime></Arm><Triggers>";
  for (size_t i = 0; i < triggers.size(); ++i) {
    const Trigger& t = triggers[i];
    xml += "<Trigger idx=\"";
    appendUnsigned(xml, i);
    xml += "\"><RemoteIndex>";
    appendUnsigned(xml, t.remoteIndex);
    xml += "</RemoteIndex><Type>";
    appendUnsigned(xml, t.type);
    xml += "</Type><Threshold format=\"hex\">";
    codec::appendHex(xml, t.threshold, t.thresholdLength);
    xml += "</Threshold></Trigger>";
  }
  xml += "</Triggers><Channels>";
  for (size_t i = 0; i < channels.size(); ++i) {
    xml += "<Channel idx=\"";
    appendUnsigned(xml, i);
    xml += "\"><RemoteIndex>";
    appendUnsigned(xml, channels[i].remoteIndex);
    xml += "</RemoteIndex><Sampletime time=\"";
    appendFloat(xml, channels[i].sampleTime);
    xml += "\"/></Channel>";
  }
  xml += "</Channels></Configuration>";
}

// Words of a data block feed the channels' samples; a refusal here keeps a
// hostile capture from overflowing a value or looping for ever.
int checkDataLayout(unsigned wordBytes, std::vector<Channel>& channels) {
  if (wordBytes == 0 || wordBytes > kValueBytes) return kInvalidDataSize;
  for (Channel& c : channels) {
    // A sample of no bytes would be stored at every step without consuming
    // input, so the output could grow without bound.
    if (c.sampleSize == 0 || c.sampleSize > kValueBytes) return kInvalidDataSize;
    unsigned words = (c.sampleSize + wordBytes - 1) / wordBytes;
    if (words * wordBytes > kValueBytes) return kInvalidDataSize;
    c.words = uint8_t(words);
  }
  return kSuccessful;
}

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

struct CountingSink {
  size_t size = 0;
  template <size_t N>
  void put(const char (&literal)[N]) { size += N - 1; }
  void put(std::string_view text) { size += text.size(); }
  void putHex(const uint8_t*, size_t length) { size += 2 * length; }
};

struct BufferSink {
  char* end;
  // Literals copy with a constant length, which compiles to plain stores.
  template <size_t N>
  void put(const char (&literal)[N]) {
    std::memcpy(end, literal, N - 1);
    end += N - 1;
  }
  void put(std::string_view text) {
    std::memcpy(end, text.data(), text.size());
    end += text.size();
  }
  void putHex(const uint8_t* bytes, size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < length; ++i) {
      *end++ = kDigits[bytes[i] >> 4];
      *end++ = kDigits[bytes[i] & 15];
    }
  }
};

template <typename Sink>
void writeSampleSection(Sink& sink, const uint8_t* data, const std::vector<Channel>& channels,
                        const std::vector<std::vector<Sample>>& samples, const StepTimes& stepTimes) {
  for (size_t j = 0; j < channels.size(); ++j) {
    char index[24];
    auto res = std::to_chars(index, index + sizeof index, j);
    sink.put("<Channel idx=\"");
    sink.put(std::string_view(index, size_t(res.ptr - index)));
    sink.put("\">");
    for (const Sample& s : samples[j]) {
      sink.put("<Sample time=\"");
      sink.put(stepTimes.text(s.timeText));
      sink.put("\">");
      sink.putHex(data + s.offset, channels[j].sampleSize);
      sink.put("</Sample>");
    }
    sink.put("</Channel>");
  }
  sink.put("</Channels></Data></DigitalScope>");
}

}  // namespace

int decodeCapture(const uint8_t* data, size_t length, char** out) {
  if (length == 0) return kUnexpectedEnd;
  if (data[0] != kApiLevel) return kUnsupportedApiLevel;

  Reader in(data, length);
  uint8_t apiLevel = 0, widthBits = 0, filler = 0;
  uint8_t parameterSet[16];
  float captureTime = 0, pretriggerTime = 0;
  uint16_t triggerCount = 0, channelCount = 0;
  if (!in.u8(apiLevel) || !in.u8(widthBits) || !in.bytes(parameterSet, sizeof parameterSet) ||
      !in.u8(filler) || !in.f32(captureTime) || !in.f32(pretriggerTime) || !in.u16(triggerCount))
    return kUnexpectedEnd;

  // Records are read one by one, in file order; the counts size nothing
  // beyond what the bytes present can hold.
  std::vector<Trigger> triggers;
  triggers.reserve(std::min<size_t>(triggerCount, in.remaining() / 12));
  for (uint16_t i = 0; i < triggerCount; ++i) {
    Trigger t;
    if (!in.u16(t.remoteIndex) || !in.u8(t.type) || !in.u8(t.thresholdLength) ||
        !in.bytes(t.threshold, kValueBytes))
      return kUnexpectedEnd;
    if (t.thresholdLength > kValueBytes) return kInvalidDataSize;
    triggers.push_back(t);
  }
  if (!in.u16(channelCount)) return kUnexpectedEnd;
  std::vector<Channel> channels;
  channels.reserve(std::min<size_t>(channelCount, in.remaining() / 8));
  for (uint16_t i = 0; i < channelCount; ++i) {
    Channel c;
    if (!in.u16(c.remoteIndex) || !in.u8(c.sampleSize) || !in.u8(c.divider) || !in.f32(c.sampleTime))
      return kUnexpectedEnd;
    channels.push_back(c);
  }

  std::string xml;
  writeConfiguration(xml, parameterSet, filler, captureTime, pretriggerTime, triggers, channels);
  if (in.remaining() == 0) {
    xml += "</DigitalScope>";
    char* text = codec::mallocText(xml);
    if (!text) throw std::bad_alloc();
    *out = text;
    return kSuccessful;
  }
  uint32_t triggerWord = 0;
  if (!in.u32(triggerWord)) return kInvalidDataSize;
  const unsigned wordBytes = widthBits / 8u;
  if (int rc = checkDataLayout(wordBytes, channels); rc != kSuccessful) return rc;

  const bool triggerExpected = (triggerWord & kNoTriggerBit) == 0;
  const uint32_t triggerOffset = uint32_t(triggerWord + uint32_t(in.offset()));
  const uint16_t headerWords = uint16_t(kBlockHeaderBytes / wordBytes);

  // Times are single precision throughout, as the device computes them.
  float accumulated = 0, timeStep = 0, triggerTime = -1;
  uint64_t step = 0;  // in the current block
  uint16_t wordsLeft = 0, stepCounter = 0;
  std::vector<std::vector<Sample>> samples(channels.size());
  StepTimes stepTimes;
  for (;;) {
    if (wordsLeft == 0) {
      accumulated = accumulated + float(step) * timeStep;
      step = 0;
      if (in.remaining() < kBlockHeaderBytes) break;
      uint16_t count = 0;
      in.u16(count), in.u16(stepCounter), in.f32(timeStep);
      if (count == 0) return kInvalidDataHeader;
      wordsLeft = uint16_t(count - headerWords);
      // Steps without channels consume no words: such a block never ends.
      if (wordsLeft != 0 && channels.empty()) return kInvalidDataHeader;
    }
    const int phase = stepCounter >> 12;
    uint32_t timeText = StepTimes::kNone;
    for (size_t j = 0; j < channels.size(); ++j) {
      const Channel& c = channels[j];
      if ((phase & (int(c.divider) - 1)) != 0) continue;
      const size_t bytes = size_t(c.words) * wordBytes;
      if (in.remaining() < bytes) return kUnexpectedEnd;
      if (timeText == StepTimes::kNone) timeText = stepTimes.add(float(step) * timeStep + accumulated);
      samples[j].push_back(Sample{timeText, uint32_t(in.offset())});
      in.skip(bytes);
      wordsLeft = uint16_t(wordsLeft - c.words);
    }
    stepCounter = uint16_t((((phase + 1) & 0xF) << 12) | (stepCounter & 0x0FFF));
    ++step;
    if (triggerTime < 0 && in.offset() >= triggerOffset) triggerTime = float(step) * timeStep + accumulated;
  }

  if (!(accumulated > 0)) return kUnexpectedEnd;
  if (triggerExpected && triggerTime < 0) return kTriggerNotFound;
  if (in.remaining() != 0) return kInvalidDataSize;

  // The sample section is the bulk of the text: its size is counted first so
  // the result is written once, straight into the buffer handed out.
  xml += "<Data format=\"hex\">";
  if (triggerExpected) {
    xml += "<Trigger time=\"";
    appendFloat(xml, triggerTime);
    xml += "\"/>";
  }
  xml += "<Channels>";
  CountingSink counter;
  writeSampleSection(counter, data, channels, samples, stepTimes);
  std::unique_ptr<char, FreeDeleter> text(static_cast<char*>(std::malloc(xml.size() + counter.size + 1)));
  if (!text) throw std::bad_alloc();
  std::memcpy(text.get(), xml.data(), xml.size());
  BufferSink writer{text.get() + xml.size()};
  writeSampleSection(writer, data, channels, samples, stepTimes);
  *writer.end = '\0';
  *out = text.release();
  return kSuccessful;
}

const char* resultText(int code) {
  static const char* const kTexts[] = {
      "Successful",
      "Unsupported API level, upgrade this tool",
      "Unexpected end of file, data missing",
      "Invalid data size",
      "Invalid data header",
      "Trigger point not found",
  };
  return code >= 0 && code < int(sizeof kTexts / sizeof kTexts[0]) ? kTexts[code] : nullptr;
}

}  // namespace scopecodec
