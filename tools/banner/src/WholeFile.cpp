#include "toolsupport/WholeFile.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <system_error>

namespace toolsupport {

namespace {

constexpr size_t kReadChunk = size_t(1) << 20;

}  // namespace

std::vector<char> readWholeFile(const std::string& name, FileKind kind) {
  const std::string notFound = "File not found: " + name;
  std::error_code ec;
  // A directory opens like a file here but cannot be read as one.
  if (std::filesystem::is_directory(name, ec)) throw ToolError(notFound);
  std::ifstream in(name, std::ios::binary);
  if (!in) throw ToolError(notFound);

  std::vector<char> bytes;
  auto expected = std::filesystem::file_size(name, ec);
  // One byte more than the file holds, so the end shows as a short read and
  // the text's zero fits without growing.
  if (!ec) bytes.resize(size_t(expected) + 1);
  // Read to the end rather than trusting the size: the file may be a pipe.
  size_t used = 0;
  for (;;) {
    if (used == bytes.size()) bytes.resize(used + kReadChunk);
    in.read(bytes.data() + used, std::streamsize(bytes.size() - used));
    used += size_t(in.gcount());
    if (!in) break;
  }
  if (in.bad()) throw ToolError(notFound);
  bytes.resize(used);
  if (kind == FileKind::kText) bytes.push_back('\0');
  return bytes;
}

std::vector<char> readCodecInput(const std::string& name, FileKind kind) {
  constexpr uint64_t kMaxCount = std::numeric_limits<uint32_t>::max();
  const uint64_t zero = kind == FileKind::kText ? 1 : 0;
  const std::string tooLarge = "File too large: " + name;
  std::error_code ec;
  if (!std::filesystem::is_directory(name, ec)) {
    const auto size = std::filesystem::file_size(name, ec);
    if (!ec && uint64_t(size) > kMaxCount - zero) throw ToolError(tooLarge);
  }
  std::vector<char> bytes = readWholeFile(name, kind);
  if (bytes.size() > kMaxCount) throw ToolError(tooLarge);  // a pipe, or a file that grew
  return bytes;
}

void writeWholeFile(const std::string& name, const void* data, size_t length) {
  const std::string cannotWrite = "Cannot write file: " + name;
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  if (!out) throw ToolError(cannotWrite);
  out.write(static_cast<const char*>(data), std::streamsize(length));
  out.close();
  if (!out) throw ToolError(cannotWrite);
}

bool flushStandardOutput() {
  std::cout.flush();
  if (std::cout) return true;
  std::cerr << "Cannot write standard output" << std::endl;
  return false;
}

}  // namespace toolsupport
