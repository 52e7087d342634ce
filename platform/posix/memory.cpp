#include "plat/memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace plat {

namespace {

constexpr const char* kThpDir = "/sys/kernel/mm/transparent_hugepage/";

// The first `limit` bytes of a file of /proc or /sys; empty when unreadable.
std::string readSmallFile(const char* path, size_t limit = size_t(1) << 16) {
  std::string text;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char chunk[4096];
  while (text.size() < limit) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(chunk, size_t(n));
  }
  ::close(fd);
  return text;
}

// "always [madvise] never" -> "madvise".
std::string chosenWord(const std::string& text) {
  const size_t open = text.find('[');
  const size_t close = open == std::string::npos ? open : text.find(']', open);
  if (close == std::string::npos) return {};
  return text.substr(open + 1, close - open - 1);
}

// The value in kB of a "Name:   123 kB" line of /proc/self/status, in bytes.
uint64_t statusBytes(std::string_view name) {
  const std::string status = readSmallFile("/proc/self/status");
  for (size_t at = 0; at < status.size();) {
    size_t end = status.find('\n', at);
    if (end == std::string::npos) end = status.size();
    const std::string_view line(status.data() + at, end - at);
    if (line.size() > name.size() && line.substr(0, name.size()) == name &&
        line[name.size()] == ':')
      return std::strtoull(std::string(line.substr(name.size() + 1)).c_str(), nullptr, 10) * 1024;
    at = end + 1;
  }
  return 0;
}

}  // namespace

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

size_t hugePageBytes() {
  static const size_t bytes = [] {
    const std::string text = readSmallFile((std::string(kThpDir) + "hpage_pmd_size").c_str());
    const unsigned long long n = std::strtoull(text.c_str(), nullptr, 10);
    // Only a power of two is an alignment.
    return n != 0 && (n & (n - 1)) == 0 ? size_t(n) : size_t(2) << 20;
  }();
  return bytes;
}

size_t adviseHugePages(void* block, size_t length) {
#ifdef MADV_HUGEPAGE
  const uintptr_t huge = hugePageBytes();
  const uintptr_t begin = reinterpret_cast<uintptr_t>(block);
  if (!block || begin > UINTPTR_MAX - length) return 0;
  // Only the aligned interior: the pages at the ends may belong to malloc's
  // bookkeeping or to a neighbour, and a huge page there would hold them.
  const uintptr_t first = (begin + huge - 1) & ~(huge - 1);
  const uintptr_t last = (begin + length) & ~(huge - 1);
  if (first >= last) return 0;
  // Switched off for the whole machine: the advice would be taken and do
  // nothing. Read each time, as it may be switched while we run.
  if (chosenWord(readSmallFile((std::string(kThpDir) + "enabled").c_str())) == "never") return 0;
  // Refused when the kernel has no transparent huge pages: the block then
  // faults in small pages, as without the advice.
  if (::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE) != 0) return 0;
  return last - first;
#else
  (void)block;
  (void)length;
  return 0;
#endif
}

bool hugePagesAdvised(const void* address) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  const std::string smaps = readSmallFile("/proc/self/smaps", size_t(64) << 20);
  bool inside = false;
  for (size_t pos = 0; pos < smaps.size();) {
    size_t end = smaps.find('\n', pos);
    if (end == std::string::npos) end = smaps.size();
    const std::string line = smaps.substr(pos, end - pos);
    pos = end + 1;
    // A mapping's first line: "start-end perms offset ...", in hex.
    char* rest = nullptr;
    const unsigned long long start = std::strtoull(line.c_str(), &rest, 16);
    if (rest && *rest == '-' && rest != line.c_str()) {
      const unsigned long long stop = std::strtoull(rest + 1, &rest, 16);
      if (rest && *rest == ' ') {
        inside = start <= at && at < stop;
        continue;
      }
    }
    if (inside && line.rfind("VmFlags:", 0) == 0)
      return (line + ' ').find(" hg ") != std::string::npos;
  }
  return false;
}

HugePageModes hugePageModes() {
  const std::string dir = kThpDir;
  return {chosenWord(readSmallFile((dir + "enabled").c_str())),
          chosenWord(readSmallFile((dir + "defrag").c_str()))};
}

uint64_t peakResidentBytes() { return statusBytes("VmHWM"); }

bool resetPeakResident() {
  // "5" resets the peak to what is resident now.
  const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool done = ::write(fd, "5", 1) == 1;
  ::close(fd);
  return done;
}

}  // namespace plat
