#include "plat/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace plat {

void prefaultForWrite(void* block, size_t length) {
#ifdef MADV_POPULATE_WRITE
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (!block || pageSize <= 0) return;
  const uintptr_t page = uintptr_t(pageSize);
  const uintptr_t begin = reinterpret_cast<uintptr_t>(block);
  if (begin > UINTPTR_MAX - length) return;
  // Only whole pages inside the block: the partial ones at its ends may
  // share a page with other allocations, and fault in as usual.
  const uintptr_t first = (begin + page - 1) & ~(page - 1);
  const uintptr_t last = (begin + length) & ~(page - 1);
  if (first >= last) return;
  // Refused (an older kernel, no memory left to populate) changes nothing:
  // the writes then fault the pages in one by one.
  (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
  (void)block;
  (void)length;
#endif
}

}  // namespace plat
