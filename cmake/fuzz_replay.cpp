// Replays a fuzz target's corpus once, outside libFuzzer: each file is handed
// over in a buffer of exactly its size so a read past the end is caught.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path root(argv[i]);
    std::vector<std::filesystem::path> paths;
    if (std::filesystem::is_directory(root)) {
      for (auto& e : std::filesystem::recursive_directory_iterator(root))
        if (e.is_regular_file()) paths.push_back(e.path());
    } else {
      paths.push_back(root);
    }
    for (auto& p : paths) {
      std::ifstream in(p, std::ios::binary);
      std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
      auto* buf = static_cast<uint8_t*>(std::malloc(bytes.empty() ? 1 : bytes.size()));
      if (!bytes.empty()) std::memcpy(buf, bytes.data(), bytes.size());
      LLVMFuzzerTestOneInput(buf, bytes.size());
      std::free(buf);
      ++files;
    }
  }
  std::printf("replayed %d corpus files\n", files);
  return files > 0 ? 0 : 1;
}
