// Watching one directory for names that appear and go (inotify).
#pragma once

#include <string>
#include <vector>

#include "plat/handle.h"

namespace plat {

class DirWatch {
 public:
  struct Change {
    bool appeared;     // created or moved in; else deleted or moved out
    std::string name;  // the entry's name inside the directory
  };

  DirWatch() = default;
  ~DirWatch();
  DirWatch(const DirWatch&) = delete;
  DirWatch& operator=(const DirWatch&) = delete;

  // Starts watching `dir` (a name created, moved in, deleted or moved out).
  // Win32 code (0 ok, 3 when dir is not a directory).
  int open(const std::string& dir);
  // Readable (kPollRead of plat/poll.h) while changes wait.
  Handle handle() const { return handle_; }
  // Appends the changes waiting now; never blocks. *overflowed is set when the
  // kernel dropped changes (the caller rescans). False once the watch has
  // ended: the directory went or the descriptor failed.
  bool read(std::vector<Change>* changes, bool* overflowed);

 private:
  Handle handle_ = kInvalidHandle;
};

}  // namespace plat
