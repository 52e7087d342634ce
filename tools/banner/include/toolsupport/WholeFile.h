// Whole-file input and output for the command-line tools. Failures are raised
// as ToolError, whose what() is the message the tool prints.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace toolsupport {

class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class FileKind {
  kBinary,  // the file's bytes as they are
  kText,    // the file's bytes and one zero byte, counted in the size
};

// Reads a file whole in binary. A file that cannot be opened or read raises
// "File not found: " + name.
std::vector<char> readWholeFile(const std::string& name, FileKind kind);

// readWholeFile for a codec, which takes a 32-bit count: a file longer than
// that (its zero included, for text) raises "File too large: " + name rather
// than being cut, before it is read when its size is known.
std::vector<char> readCodecInput(const std::string& name, FileKind kind);

// Creates or truncates a file and writes length bytes to it. A file that
// cannot be opened or written raises "Cannot write file: " + name.
void writeWholeFile(const std::string& name, const void* data, size_t length);

// Flushes standard output; false, with a message on standard error, when
// anything written to it was lost (a full disk, a closed pipe).
bool flushStandardOutput();

}  // namespace toolsupport
