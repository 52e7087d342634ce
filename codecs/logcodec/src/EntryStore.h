// Memory for a handle's entries. Entries, their snapshots and their printed
// value texts are carved from one arena and released together with the
// handle, so a log of a million events costs a few large allocations rather
// than millions of small ones. Whatever lives here is trivially destructible:
// nothing is destroyed one by one.
#pragma once

#include <cstring>
#include <memory_resource>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace logcodec {

class EntryStore {
 public:
  template <typename T>
  T* make() {
    static_assert(std::is_trivially_destructible_v<T>);
    return new (arena_.allocate(sizeof(T), alignof(T))) T();
  }

  std::string_view copy(std::string_view text) {
    if (text.empty()) return {};
    auto* at = static_cast<char*>(arena_.allocate(text.size(), 1));
    std::memcpy(at, text.data(), text.size());
    return {at, text.size()};
  }

  template <typename T>
  std::span<const T> copy(const std::vector<T>& items) {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    if (items.empty()) return {};
    auto* at = static_cast<T*>(arena_.allocate(items.size() * sizeof(T), alignof(T)));
    std::memcpy(static_cast<void*>(at), items.data(), items.size() * sizeof(T));
    return {at, items.size()};
  }

 private:
  std::pmr::monotonic_buffer_resource arena_{size_t(64) << 10};
};

}  // namespace logcodec
