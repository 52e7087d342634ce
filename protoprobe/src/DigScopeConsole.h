// The DigScope console: drives the digital scope client for one device.
// Most requests are synchronous and print their outcome at once; status
// updates, channel lists, progress and raw results arrive as events and are
// printed as stamped lines, a raw result written to the file its request
// named.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "translayer/HwId.h"

namespace protoprobe {

// The destination files of raw requests in the order they were asked for:
// a request pushes its name before it is sent, its raw result takes the
// oldest; a request that failed without a result drops its own name.
// Threads: any; one lock.
class ScopeFileQueue {
 public:
  uint64_t push(std::string name);
  std::optional<std::string> take();
  // Removes the entry `id` when no result has taken it.
  void drop(uint64_t id);
  size_t size() const;

 private:
  mutable std::mutex mutex_;
  uint64_t next_ = 0;
  std::vector<std::pair<uint64_t, std::string>> names_;  // guarded by mutex_
};

// The text of a scope event after "< " (data and length as the library
// hands them over); a raw result is written to the file `files` gives.
// *known is false for an event code the console does not know.
std::string scopeEventText(uint64_t event, const void* data, uint64_t length, bool* known,
                           ScopeFileQueue& files);

// The console of the table: commands from standard input.
int runDigScopeConsole(const translayer::HwId& hwid, const std::vector<std::string>& args);

}  // namespace protoprobe
