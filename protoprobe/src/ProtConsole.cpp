#include "ProtConsole.h"

#include "HexText.h"

using translayer::kChunkData;
using translayer::TrIfTranPayload;

namespace protoprobe {

namespace {

constexpr int kBackspace = 8, kDelete = 127, kCtrlC = 3, kCtrlZ = 26;

}  // namespace

ProtConsole::ProtConsole(TrIfTranRemote& sender, Writer write)
    : sender_(sender), write_(std::move(write)) {}

void ProtConsole::redraw(bool input, const std::string& text) {
  std::string out;
  if (input) {
    if (text.size() <= shown_.size()) {
      out = "\r> " + text;
      const size_t gone = shown_.size() - text.size();
      out.append(gone, ' ');
      out.append(gone, '\b');
    } else {
      out = text.substr(shown_.size());
    }
    shown_ = text;
  } else {
    out = "\r" + text;
    if (shown_.size() + 2 > text.size()) out.append(shown_.size() + 2 - text.size(), ' ');
    out += "\n\r> ";
    out += shown_;
  }
  write_(out);
}

void ProtConsole::send(const std::string& text) {
  for (size_t at = 0; at < text.size(); at += kChunkCharacters) {
    const size_t characters = std::min(kChunkCharacters, text.size() - at);
    auto payload = std::make_shared<TrIfTranPayload>();
    payload->length = uint16_t(characters / 2);
    payload->last = at + characters >= text.size() ? 1 : 0;
    for (size_t i = 0; i < payload->length; ++i)
      payload->data[i] = hexPairValue(std::string_view(text).substr(at + 2 * i, 2));
    sender_.deliver(payload);
  }
}

int ProtConsole::run(const KeyReader& readKey) {
  std::string input;
  {
    plat::LockGuard lock(mutex_);
    redraw(true, input);
  }
  while (true) {
    const int key = readKey();
    plat::UniqueLock lock(mutex_);
    if (remoteClose_) {
      redraw(false, "Terminated by remote");
      return 0;
    }
    if (key < 0 || key == kCtrlC || key == kCtrlZ) return 0;
    if (key == 10 || key == 13) {
      const std::string typed = input;
      // The line end is drawn before the message goes, so that the reply is
      // always shown below the line it answers.
      input += '\n';
      redraw(true, input);
      input.clear();
      lock.unlock();
      if (!typed.empty()) send(typed);
    } else if (key == kBackspace || key == kDelete) {
      if (!input.empty()) input.pop_back();
      redraw(true, input);
    } else {
      input += char(key);
      redraw(true, input);
    }
  }
}

bool ProtConsole::deliver(std::shared_ptr<TrIfTranPayload> chunk) {
  if (!chunk) return true;
  static const char kDigits[] = "0123456789abcdef";
  const size_t length = chunk->length <= kChunkData ? chunk->length : kChunkData;
  plat::LockGuard lock(mutex_);
  for (size_t i = 0; i < length; ++i) {
    if (accumulator_.size() + 3 > kAccumulatorCap) {
      redraw(false, accumulator_);
      accumulator_ = kLineStart;
    }
    const uint8_t b = chunk->data[i];
    accumulator_ += kDigits[b >> 4];
    accumulator_ += kDigits[b & 15];
    accumulator_ += ' ';
  }
  if (chunk->last) {
    redraw(false, accumulator_);
    accumulator_ = kLineStart;
  }
  return true;
}

void ProtConsole::close(bool) {
  plat::LockGuard lock(mutex_);
  remoteClose_ = true;
}

}  // namespace protoprobe
