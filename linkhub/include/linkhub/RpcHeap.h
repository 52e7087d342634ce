// The server's private RPC heap: memory for what the procedures hand to the
// RPC layer (the device list of GetOnlineDevices), capped so that no run of
// calls can take more than the maximum. Thread-safe; its lock is a leaf.
#pragma once

#include <cstddef>
#include <mutex>

#include "plat/threadsafety.h"

namespace linkhub {

class RpcHeap {
 public:
  static constexpr size_t kInitialBytes = 0x100000;   // 1 MiB
  static constexpr size_t kMaximumBytes = 0x8000000;  // 128 MiB

  RpcHeap() = default;
  ~RpcHeap();
  RpcHeap(const RpcHeap&) = delete;
  RpcHeap& operator=(const RpcHeap&) = delete;

  // Makes the heap with its first block of `initialBytes`. Win32 code: 0; 87
  // when the initial size is over the maximum, or the maximum is 0; 8 when
  // the first block cannot be had.
  int create(size_t initialBytes = kInitialBytes, size_t maximumBytes = kMaximumBytes);
  bool created() const;

  // Null when the heap was not created, or the block would take the heap
  // past its maximum, or there is no memory.
  void* allocate(size_t bytes);
  // Null is ignored.
  void free(void* block);

  size_t bytesInUse() const;

 private:
  mutable plat::Mutex mutex_;
  bool created_ GUARDED_BY(mutex_) = false;
  size_t maximum_ GUARDED_BY(mutex_) = 0;
  size_t inUse_ GUARDED_BY(mutex_) = 0;
  void* reserve_ = nullptr;  // the first block, kept for the heap's life
};

}  // namespace linkhub
