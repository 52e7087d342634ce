// Whole files and recognisable byte patterns for tests that move files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace testfiles {

// Bytes that differ from position to position and, by `seed`, from one
// pattern to another, so a shifted or mixed-up copy never compares equal.
inline std::vector<uint8_t> pattern(size_t n, uint8_t seed = 7) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 31 + (i >> 8));
  return v;
}

inline void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::vector<uint8_t> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace testfiles
