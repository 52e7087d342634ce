// Single-instance locks: the stand-in for a named mutex that a process creates
// to keep a second instance out. An exclusive flock on <rt>/<name>.lock, held
// as long as the InstanceLock object lives (for the life of the process when
// the owner never destroys it). The kernel drops it when the process dies, so
// a crash never leaves a stale lock behind.
#pragma once

#include <string>

namespace plat {

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock named `name` (a file name: no '/', not empty, "." or "..").
  // Win32 code: 0 held; 183 (ERROR_ALREADY_EXISTS) when another holder has it;
  // 123 for a bad name; 5 or another code when the runtime dir or the lock
  // file cannot be used. Taking a second name releases the first.
  int acquire(const std::string& name);
  // Releases the lock (the file stays, so that holders never race on it).
  void release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace plat
