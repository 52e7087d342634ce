#include "translayer/RpcMemory.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_set>

#include "plat/threadsafety.h"

namespace translayer {

namespace {

// What an assertion of the memory manager source reports; the line numbers
// are the ones its users know the failures by.
constexpr const char* kSource = "TrIfTranRPCMemMgm";
constexpr int kHeapLine = 39;
constexpr int kStatusLine = 41;

[[noreturn]] void assertionFailed(const char* expression, int line) {
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, kSource, line);
  std::fflush(stderr);
  std::abort();
}

// The blocks this heap gave out, so that a free of anything else (or a second
// free) is caught without touching the memory it points to.
struct Heap {
  plat::Mutex mutex;
  std::unordered_set<void*> live GUARDED_BY(mutex);
};

Heap& processHeap() {
  static Heap* heap = new Heap;  // never destroyed: frees may come during exit
  return *heap;
}

std::atomic<Heap*> RpcHeap{nullptr};

}  // namespace

void* MIDL_user_allocate(size_t size) {
  Heap* heap = RpcHeap.load(std::memory_order_acquire);
  if (!heap) {
    heap = &processHeap();
    RpcHeap.store(heap, std::memory_order_release);
  }
  void* block = std::malloc(size ? size : 1);
  if (!block) return nullptr;
  try {
    plat::LockGuard lock(heap->mutex);
    heap->live.insert(block);
  } catch (const std::bad_alloc&) {
    std::free(block);
    return nullptr;
  }
  return block;
}

void MIDL_user_free(void* block) {
  if (!block) return;
  Heap* heap = RpcHeap.load(std::memory_order_acquire);
  if (heap == nullptr) assertionFailed("RpcHeap != NULL", kHeapLine);
  bool status;
  {
    plat::LockGuard lock(heap->mutex);
    status = heap->live.erase(block) == 1;
  }
  if (!status) assertionFailed("status", kStatusLine);
  std::free(block);
}

}  // namespace translayer
