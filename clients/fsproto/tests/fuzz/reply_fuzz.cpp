// The file server reply decoder: a transfer of each kind fed the input as
// device messages. The first byte picks the kind, then each chunk is a
// length byte, a flags byte (bit 0 last, bit 1 a time-out first) and its
// data.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "FileTransfer.h"

namespace {

class Sink : public fsproto::TransferSink {
 public:
  void sendChunk(const uint8_t*, size_t length, bool) override {
    if (length > 1024) __builtin_trap();
  }
  void report(int event, const void*, size_t) override {
    if (outcome) __builtin_trap();  // nothing after the outcome
    if (event == 1 || event == 2) outcome = true;
  }
  bool outcome = false;
};

// A 3000-byte file to send, made once per run.
const std::string& sourceFile() {
  static const std::string path = [] {
    std::random_device random;
    const std::string p = (std::filesystem::temp_directory_path() /
                           ("fsproto-fuzz-" + std::to_string(random()) + ".bin"))
                              .string();
    std::vector<char> bytes(3000, 'x');
    std::ofstream(p, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    static struct Remover {
      std::string p;
      ~Remover() { std::filesystem::remove(p); }
    } remover{p};
    return p;
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  using fsproto::FileTransfer;
  FileTransfer::Setup setup;
  switch (data[0] % 4) {
    case 0:
      setup.kind = FileTransfer::Kind::kDownload;
      setup.local = sourceFile();
      break;
    case 1:
      setup.kind = FileTransfer::Kind::kUpload;
      setup.local = "/dev/null";
      break;
    case 2:
      setup.kind = FileTransfer::Kind::kDir;
      break;
    default:
      setup.kind = FileTransfer::Kind::kUnlink;
      break;
  }
  setup.volume = "root";
  setup.remote = "f";
  Sink sink;
  FileTransfer transfer(setup, &sink);
  if (transfer.openSource() != 0) return 0;
  int64_t now = 0;
  transfer.begin(now);
  size_t pos = 1;
  while (pos + 2 <= size) {
    const size_t length = data[pos] * 5;  // reaches past 1024
    const uint8_t flags = data[pos + 1];
    pos += 2;
    const size_t n = length < size - pos ? length : size - pos;
    // An exact-size copy, so a read past the chunk is caught.
    std::vector<uint8_t> chunk(data + pos, data + pos + n);
    pos += n;
    now += 1000000;
    if (flags & 2) {
      now = transfer.deadline();
      transfer.onTimer(now);
    }
    transfer.onChunk(chunk.data(), chunk.size(), (flags & 1) != 0, now);
  }
  transfer.onChannelClosed();
  if (!sink.outcome) __builtin_trap();  // every transfer ends with one outcome
  return 0;
}
