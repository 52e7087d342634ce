#include "devsim/Service.h"

namespace devsim {

MessageAssembler::Result MessageAssembler::add(const uint8_t* data, size_t length, bool last) {
  if (complete_) {
    message_.clear();
    complete_ = false;
  }
  if (overflow_) {
    // Skip the rest of a message that was already too long.
    if (last) overflow_ = false;
    return Result::kMore;
  }
  if (length > limit_ - message_.size()) {
    message_.clear();
    message_.shrink_to_fit();
    overflow_ = !last;
    return Result::kTooLong;
  }
  if (length) message_.insert(message_.end(), data, data + length);
  if (!last) return Result::kMore;
  complete_ = true;
  return Result::kComplete;
}

void MessageService::onData(const uint8_t* data, size_t length, bool last) {
  switch (assembler_.add(data, length, last)) {
    case MessageAssembler::Result::kComplete:
      onMessage(assembler_.message());
      break;
    case MessageAssembler::Result::kTooLong:
      channel_->close();
      break;
    case MessageAssembler::Result::kMore:
      break;
  }
}

}  // namespace devsim
