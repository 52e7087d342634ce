// The raw hex console on one channel: typed hex digits go out as one
// message per Enter, every message from the device is shown as a line of hex
// bytes ("@ 0a ff 10 "). Typing and the device's lines share one console
// line: a device line is written over the prompt and the typed text is drawn
// again under it.
//
// Threads: run and the input redraws on the owner's thread; deliver and
// close on the channel's pipe thread. The console mutex serialises every
// write and guards the remote-close flag and the accumulator.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "plat/threadsafety.h"
#include "translayer/Payload.h"
#include "translayer/TrIfTranRemote.h"

namespace protoprobe {

class ProtConsole final : public translayer::TrIfTranRemote {
 public:
  using Writer = std::function<void(std::string_view)>;
  // The next key (0..255), -1 at the end of input or on a read error.
  using KeyReader = std::function<int()>;

  ProtConsole(TrIfTranRemote& sender, Writer write);

  // The key loop until Ctrl-C, Ctrl-Z, the end of input or the first key
  // after the channel closed; returns 0.
  int run(const KeyReader& readKey);

  bool deliver(std::shared_ptr<translayer::TrIfTranPayload> chunk) override;
  void close(bool wait) override;

  static constexpr size_t kChunkCharacters = 2024;
  // A device line longer than this is shown in parts.
  static constexpr size_t kAccumulatorCap = 65536;

 private:
  static constexpr const char* kLineStart = "@ ";
  // Writes the input line (input) or a line above it.
  void redraw(bool input, const std::string& text) REQUIRES(mutex_);
  void send(const std::string& text);

  translayer::TrIfTranRemote& sender_;
  const Writer write_;
  plat::Mutex mutex_;
  bool remoteClose_ GUARDED_BY(mutex_) = false;
  std::string shown_ GUARDED_BY(mutex_);
  std::string accumulator_ GUARDED_BY(mutex_) = kLineStart;
};

}  // namespace protoprobe
