#include "CaptureDecoder.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
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

void appendUnsigned(std::string& out, uint64_t value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

void writeConfiguration(std::string& xml, const uint8_t* parameterSet, uint8_t filler,
                        float captureTime, float pretriggerTime,
                        const std::vector<Trigger>& triggers,
                        const std::vector<Channel>& channels) {
  xml += codec::kXmlDeclaration;
  xml += "<DigitalScope apilevel=\"1\" timeunit=\"sec\"><Configuration><ParameterSet>";
  codec::appendHex(xml, parameterSet, 16);
  xml += "</ParameterSet><Arm><Filler>";
  appendUnsigned(xml, filler);
  xml += "</Filler><Capturetime>";
  appendFloatText(xml, captureTime);
  xml += "</Capturetime><Pretriggertime>";
  appendFloatText(xml, pretriggerTime);
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
    appendFloatText(xml, channels[i].sampleTime);
    xml += "\"/></Channel>";
  }
  xml += "</Channels></Configuration>";
}

constexpr char kSampleStart[] = "<Sample time=\"";
constexpr char kSampleTimeEnd[] = "\">";
constexpr char kSampleEnd[] = "</Sample>";
constexpr size_t kSampleFrameBytes =
    sizeof kSampleStart - 1 + sizeof kSampleTimeEnd - 1 + sizeof kSampleEnd - 1;

// What one step reads, by the phase of its step counter: the channels it
// samples, in record order, and where each sample lies within the step.
struct StepSlot {
  uint32_t channel;
  uint32_t offset;
};
struct PhaseLayout {
  uint32_t bytes = 0;  // input the step consumes
  uint32_t words = 0;
  uint64_t sampleBytes = 0;  // the step's samples in the result, times aside
  std::vector<StepSlot> slots;
};

struct StepPlan {
  PhaseLayout phases[16];
  uint16_t headerWords = 0;  // words a block header counts as
  bool noChannels = false;
};

// Words of a data block feed the channels' samples; a refusal here keeps a
// hostile capture from overflowing a value or looping for ever.
int planSteps(unsigned wordBytes, std::vector<Channel>& channels, StepPlan& plan) {
  if (wordBytes == 0 || wordBytes > kValueBytes) return kInvalidDataSize;
  bool anyWords = false;
  for (Channel& c : channels) {
    if (c.sampleSize > kValueBytes) return kInvalidDataSize;
    unsigned words = (c.sampleSize + wordBytes - 1) / wordBytes;
    if (words * wordBytes > kValueBytes) return kInvalidDataSize;
    c.words = uint8_t(words);
    anyWords = anyWords || words != 0;
  }
  // Samples of no bytes are stored without consuming input; when no channel
  // consumes any, a block's steps would never end. With one that does, every
  // step of phase 0 takes words, and the result's bound stops the rest.
  if (!channels.empty() && !anyWords) return kInvalidDataSize;
  for (unsigned phase = 0; phase < 16; ++phase) {
    PhaseLayout& p = plan.phases[phase];
    for (size_t j = 0; j < channels.size(); ++j) {
      // Divider 0 acts like 16, divider 1 samples at every step.
      if ((int(phase) & (int(channels[j].divider) - 1)) != 0) continue;
      p.slots.push_back(StepSlot{uint32_t(j), p.bytes});
      p.bytes += channels[j].words * wordBytes;
      p.words += channels[j].words;
      p.sampleBytes += kSampleFrameBytes + 2 * channels[j].sampleSize;
    }
  }
  plan.headerWords = uint16_t(kBlockHeaderBytes / wordBytes);
  plan.noChannels = channels.empty();
  return kSuccessful;
}

// One step of the data walk.
struct Step {
  unsigned phase;
  size_t offset;   // of its first sample in the capture
  size_t end;      // just past its last
  uint64_t index;  // within its block
  float timeStep, accumulated;
  // Single precision, as the device computes them.
  float time() const { return float(index) * timeStep + accumulated; }
  float timeAfter() const { return float(index + 1) * timeStep + accumulated; }
};

struct WalkEnd {
  float accumulated = 0;  // the time of all the blocks
  size_t offset = 0;      // where the walk stopped, short of a block header
};

// Walks the data blocks from `offset` to the end of the capture, calling
// `visit` for every step; the decode and the writing of the samples share it
// so that both see the same steps. Returns a result code.
template <typename Visit>
int walkSteps(const uint8_t* data, size_t length, size_t offset, const StepPlan& plan,
              WalkEnd& walkEnd, Visit&& visit) {
  float accumulated = 0, timeStep = 0;
  uint64_t step = 0;  // in the current block
  uint16_t wordsLeft = 0, stepCounter = 0;
  for (;;) {
    if (wordsLeft == 0) {
      accumulated = accumulated + float(step) * timeStep;
      step = 0;
      if (length - offset < kBlockHeaderBytes) {
        walkEnd = WalkEnd{accumulated, offset};
        return kSuccessful;
      }
      base::ByteReader header(data + offset, kBlockHeaderBytes);
      const uint16_t count = header.u16();
      stepCounter = header.u16();
      timeStep = header.f32();
      offset += kBlockHeaderBytes;
      if (count == 0) return kInvalidDataHeader;
      wordsLeft = uint16_t(count - plan.headerWords);
      // Steps without channels consume no words: such a block never ends.
      if (wordsLeft != 0 && plan.noChannels) return kInvalidDataHeader;
    }
    const unsigned phase = stepCounter >> 12;
    const PhaseLayout& layout = plan.phases[phase];
    if (length - offset < layout.bytes) return kUnexpectedEnd;
    visit(Step{phase, offset, offset + layout.bytes, step, timeStep, accumulated});
    offset += layout.bytes;
    // Words left wrap when a step takes more than the block has left.
    wordsLeft = uint16_t(wordsLeft - layout.words);
    stepCounter = uint16_t(((phase + 1) & 0xF) << 12 | (stepCounter & 0x0FFF));
    ++step;
  }
}

// The time text of every step that has samples, in step order, each as a
// length byte and the text, so the writer reads them back in the same order.
// Texts are copied out 16 bytes at a time, so the store keeps that much room
// past its end.
class StepTexts {
 public:
  StepTexts() = default;
  StepTexts(const StepTexts&) = delete;
  StepTexts& operator=(const StepTexts&) = delete;
  ~StepTexts() { std::free(begin_); }

  // Adds the text of `time`; returns its length.
  size_t add(float time) {
    if (size_t(capacity_ - end_) < kRecordRoom) grow();
    const size_t length = writeFloatText(end_ + 1, time);
    end_[0] = char(length);
    end_ += 1 + length;
    return length;
  }
  const char* begin() const { return begin_; }

 private:
  static constexpr size_t kRecordRoom = 1 + kFloatTextRoom;

  void grow() {
    const size_t size = size_t(end_ - begin_);
    const size_t capacity = std::max<size_t>(size_t(64) << 10, 2 * size_t(capacity_ - begin_));
    // realloc moves the pages of a large block rather than copying them.
    char* grown = static_cast<char*>(std::realloc(begin_, capacity));
    if (!grown) throw std::bad_alloc();
    begin_ = grown;
    end_ = grown + size;
    capacity_ = grown + capacity;
  }

  char* begin_ = nullptr;
  char* end_ = nullptr;
  char* capacity_ = nullptr;
};

// Within this distance of its region's end a sample is written exactly: the
// time text is otherwise copied 16 bytes at a time.
constexpr size_t kSampleCopySlack = sizeof kSampleStart - 1 + 16;

struct HexPairs {
  char pairs[256][2];
  constexpr HexPairs() : pairs() {
    constexpr char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < 256; ++i) pairs[i][0] = kDigits[i >> 4], pairs[i][1] = kDigits[i & 15];
  }
};
constexpr HexPairs kHex;

// Where the samples of one channel go: each channel's text is sized up
// front, so every channel writes straight into its own part of the result.
struct ChannelText {
  char* cursor;
  char* end;
  size_t sampleSize;

  void write(const char* time, size_t timeLength, const uint8_t* value) {
    char* p = cursor;
    std::memcpy(p, kSampleStart, sizeof kSampleStart - 1);
    p += sizeof kSampleStart - 1;
    if (size_t(end - cursor) >= kSampleCopySlack)
      std::memcpy(p, time, 16);
    else
      std::memcpy(p, time, timeLength);
    p += timeLength;
    std::memcpy(p, kSampleTimeEnd, sizeof kSampleTimeEnd - 1);
    p += sizeof kSampleTimeEnd - 1;
    for (size_t i = 0; i < sampleSize; ++i, p += 2) std::memcpy(p, kHex.pairs[value[i]], 2);
    std::memcpy(p, kSampleEnd, sizeof kSampleEnd - 1);
    cursor = p + sizeof kSampleEnd - 1;
  }
};

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

void appendChannelStart(std::string& out, size_t index) {
  out += "<Channel idx=\"";
  appendUnsigned(out, index);
  out += "\">";
}

}  // namespace

int decodeCapture(const uint8_t* data, size_t length, char** out) {
  if (length == 0) return kUnexpectedEnd;
  if (data[0] != kApiLevel) return kUnsupportedApiLevel;

  base::ByteReader in(data, length);
  uint8_t parameterSet[16] = {};
  in.skip(1);  // the API level, checked above
  const uint8_t widthBits = in.u8();
  in.bytes(parameterSet, sizeof parameterSet);
  const uint8_t filler = in.u8();
  const float captureTime = in.f32();
  const float pretriggerTime = in.f32();
  const uint16_t triggerCount = in.u16();
  if (in.failed()) return kUnexpectedEnd;

  // Records are read one by one, in file order; the counts size nothing
  // beyond what the bytes present can hold.
  std::vector<Trigger> triggers;
  triggers.reserve(std::min<size_t>(triggerCount, in.remaining() / 12));
  for (uint16_t i = 0; i < triggerCount; ++i) {
    Trigger t;
    t.remoteIndex = in.u16();
    t.type = in.u8();
    t.thresholdLength = in.u8();
    in.bytes(t.threshold, kValueBytes);
    if (in.failed()) return kUnexpectedEnd;
    if (t.thresholdLength > kValueBytes) return kInvalidDataSize;
    triggers.push_back(t);
  }
  const uint16_t channelCount = in.u16();
  if (in.failed()) return kUnexpectedEnd;
  std::vector<Channel> channels;
  channels.reserve(std::min<size_t>(channelCount, in.remaining() / 8));
  for (uint16_t i = 0; i < channelCount; ++i) {
    Channel c;
    c.remoteIndex = in.u16();
    c.sampleSize = in.u8();
    c.divider = in.u8();
    c.sampleTime = in.f32();
    if (in.failed()) return kUnexpectedEnd;
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
  const uint32_t triggerWord = in.u32();
  if (in.failed()) return kInvalidDataSize;
  StepPlan plan;
  if (int rc = planSteps(widthBits / 8u, channels, plan); rc != kSuccessful) return rc;

  const bool triggerExpected = (triggerWord & kNoTriggerBit) == 0;
  const uint32_t triggerOffset = uint32_t(triggerWord + uint32_t(in.position()));

  // First walk: check the data, make the time texts and count, by phase, the
  // steps and their text, which size every channel's part of the result.
  float triggerTime = -1;
  WalkEnd walkEnd;
  StepTexts texts;
  uint64_t phaseSteps[16] = {}, phaseTextBytes[16] = {};
  // Samples of no bytes make the result grow faster than the capture: it is
  // measured as the walk goes and refused once out of all proportion.
  uint64_t resultBytes = xml.size();
  int rc = walkSteps(data, length, in.position(), plan, walkEnd, [&](const Step& step) {
    const PhaseLayout& layout = plan.phases[step.phase];
    if (!layout.slots.empty()) {
      const size_t textLength = texts.add(step.time());
      phaseTextBytes[step.phase] += textLength;
      ++phaseSteps[step.phase];
      resultBytes += layout.sampleBytes + layout.slots.size() * textLength;
      if (codec::resultTooLarge(resultBytes, length)) throw std::bad_alloc();
    }
    if (triggerTime < 0 && step.end >= triggerOffset) triggerTime = step.timeAfter();
  });
  if (rc != kSuccessful) return rc;
  if (!(walkEnd.accumulated > 0)) return kUnexpectedEnd;
  if (triggerExpected && triggerTime < 0) return kTriggerNotFound;
  if (walkEnd.offset != length) return kInvalidDataSize;

  xml += "<Data format=\"hex\">";
  if (triggerExpected) {
    xml += "<Trigger time=\"";
    appendFloatText(xml, triggerTime);
    xml += "\"/>";
  }
  xml += "<Channels>";

  std::vector<size_t> channelBytes(channels.size(), 0);
  for (unsigned phase = 0; phase < 16; ++phase)
    for (const StepSlot& slot : plan.phases[phase].slots)
      channelBytes[slot.channel] +=
          phaseSteps[phase] * (kSampleFrameBytes + 2 * channels[slot.channel].sampleSize) +
          phaseTextBytes[phase];
  std::string channelStart;
  size_t total = xml.size();
  for (size_t j = 0; j < channels.size(); ++j) {
    channelStart.clear();
    appendChannelStart(channelStart, j);
    total += channelStart.size() + channelBytes[j] + sizeof "</Channel>" - 1;
  }
  static constexpr char kTrailer[] = "</Channels></Data></DigitalScope>";
  total += sizeof kTrailer - 1;
  if (codec::resultTooLarge(total, length)) throw std::bad_alloc();

  std::unique_ptr<char, FreeDeleter> text(static_cast<char*>(codec::mallocResult(total + 1)));
  if (!text) throw std::bad_alloc();
  char* end = text.get();
  std::memcpy(end, xml.data(), xml.size());
  end += xml.size();
  std::vector<ChannelText> channelTexts(channels.size());
  for (size_t j = 0; j < channels.size(); ++j) {
    channelStart.clear();
    appendChannelStart(channelStart, j);
    std::memcpy(end, channelStart.data(), channelStart.size());
    end += channelStart.size();
    channelTexts[j] = ChannelText{end, end + channelBytes[j], channels[j].sampleSize};
    end += channelBytes[j];
    std::memcpy(end, "</Channel>", sizeof "</Channel>" - 1);
    end += sizeof "</Channel>" - 1;
  }
  std::memcpy(end, kTrailer, sizeof kTrailer);  // with its terminator

  // Second walk: the samples, each channel into its part.
  const char* stepText = texts.begin();
  walkSteps(data, length, in.position(), plan, walkEnd, [&](const Step& step) {
    const PhaseLayout& layout = plan.phases[step.phase];
    if (layout.slots.empty()) return;
    const size_t textLength = uint8_t(stepText[0]);
    for (const StepSlot& slot : layout.slots)
      channelTexts[slot.channel].write(stepText + 1, textLength, data + step.offset + slot.offset);
    stepText += 1 + textLength;
  });
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
