// Throughput of the codecs on generated inputs, in MB/s (10^6 bytes) of
// input: logs and scope captures of 64 MiB, parameter files and object
// dictionaries of a device's size, each converted repeatedly for a second.
// The large conversions are also run with their results left to fault in
// page by page (VLN_CODEC_PREFAULT=0), as the baseline of making the
// result's pages present in one request (of huge pages where the OS has
// them: its modes are printed first). Each large conversion also prints the
// most memory it held at once beyond what was resident before it, beside
// its input and output.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "Inputs.h"
#include "logcodec/logcodec.h"
#include "odcodec/odcodec.h"
#include "parcodec/parcodec.h"
#include "plat/memory.h"
#include "plat/process.h"
#include "plat/runtime.h"
#include "scopecodec/scopecodec.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kLargeInput = size_t(64) << 20;
constexpr double kMinSeconds = 1.0;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "codec_bench: %s\n", what.c_str());
  std::exit(1);
}

// What one conversion held at once beyond what was resident before it, the
// largest of the runs measured.
struct Peak {
  uint64_t growth = 0;
  bool known = true;
};

unsigned long long residentNow() {
  unsigned long long bytes = 0;
  plat::processResidentBytes(plat::currentProcessId(), &bytes);
  return bytes;
}

// Runs one conversion until at least kMinSeconds have passed; prints the
// input rate. With `peak`, the peak memory is started anew before each run
// and read after it.
double measure(const char* label, size_t inputBytes, const std::function<size_t()>& convert,
               Peak* peak = nullptr) {
  int runs = 0;
  size_t outputBytes = 0;
  auto start = Clock::now();
  double seconds = 0;
  do {
    unsigned long long before = 0;
    if (peak) {
      before = residentNow();
      peak->known = peak->known && plat::resetPeakResident();
    }
    outputBytes = convert();
    if (peak) {
      const uint64_t high = plat::peakResidentBytes();
      peak->known = peak->known && high != 0;
      if (high > before) peak->growth = std::max<uint64_t>(peak->growth, high - before);
    }
    ++runs;
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
  } while (seconds < kMinSeconds);
  std::printf("%-40s %10.2f KiB in %10.2f KiB out %4d runs %9.1f MB/s\n", label,
              inputBytes / 1024.0, outputBytes / 1024.0, runs,
              double(inputBytes) * runs / seconds / 1e6);
  if (peak && peak->known) {
    const double both = double(inputBytes) + double(outputBytes);
    std::printf("%-40s peak %.1f MiB over resident, input + output %.1f MiB (%.2fx)\n", "",
                double(peak->growth) / 1048576.0, both / 1048576.0, double(peak->growth) / both);
  }
  std::fflush(stdout);
  return double(inputBytes) * runs / seconds / 1e6;
}

// The large conversions: the baseline (pages faulted in one by one) and as
// built, alternately, twice each, so that the machine's load falls on both;
// the better run of each is printed beside the other.
void measureLarge(const char* label, size_t inputBytes, const std::function<size_t()>& convert) {
  const std::string base = std::string(label) + " (baseline)";
  double before = 0, after = 0;
  for (int round = 0; round < 2; ++round) {
    plat::setEnvironment("VLN_CODEC_PREFAULT", "0");
    Peak basePeak, peak;
    before = std::max(before, measure(base.c_str(), inputBytes, convert, &basePeak));
    plat::unsetEnvironment("VLN_CODEC_PREFAULT");
    after = std::max(after, measure(label, inputBytes, convert, &peak));
  }
  std::printf("%-40s %9.1f MB/s against %.1f MB/s page by page (%.2fx)\n", "", after, before,
              before > 0 ? after / before : 0);
  std::fflush(stdout);
}

size_t logToXml(const codecbench::Bytes& log) {
  LogViewerHandle* h = LogViewerCreateHandle();
  if (!LogViewerDecodeAndAdd(h, log.data(), unsigned(log.size())))
    die(std::string("log decode: ") + LogViewerGetLastError(h));
  char* xml = nullptr;
  if (!LogViewerGetXML(h, &xml)) die("log XML");
  size_t n = std::strlen(xml);
  std::free(xml);
  LogViewerDestroyHandle(h);
  return n;
}

size_t scopeToXml(const codecbench::Bytes& capture) {
  char* xml = nullptr;
  int rc = DigScopeDecode(capture.data(), unsigned(capture.size()), &xml);
  if (rc != 0) die("scope decode result " + std::to_string(rc));
  size_t n = std::strlen(xml);
  std::free(xml);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  // "large": the two large conversions only, for profiling them alone.
  const bool largeOnly = argc > 1 && std::strcmp(argv[1], "large") == 0;
  const plat::HugePageModes modes = plat::hugePageModes();
  std::printf("transparent huge pages: enabled %s, defrag %s\n",
              modes.enabled.empty() ? "unknown" : modes.enabled.c_str(),
              modes.defrag.empty() ? "unknown" : modes.defrag.c_str());
  std::printf("generating inputs...\n");
  codecbench::Bytes log = codecbench::makeLogStream(kLargeInput);
  codecbench::Bytes capture = codecbench::makeScopeCapture(kLargeInput);
  codecbench::ParameterTable table = codecbench::makeParameterTable(2000);
  codecbench::Bytes dictionary = codecbench::makeObjectDictionary(3000);

  measureLarge("log stream -> XML", log.size(), [&] { return logToXml(log); });
  measureLarge("scope capture -> XML", capture.size(), [&] { return scopeToXml(capture); });
  if (largeOnly) return 0;

  // Definition and defaults (the text inputs, zero counted) to the binary file.
  void* parFile = nullptr;
  int parLength = 0;
  measure("parameter XML -> file", table.definition.size() + table.values.size() + 2, [&] {
    ParcodecHandle* h = ParcodecCreateHandle();
    if (!ParcodecSetDefinition(h, table.definition.c_str(),
                               unsigned(table.definition.size() + 1)) ||
        !ParcodecAppendDefaults(h, table.values.c_str(), unsigned(table.values.size() + 1)))
      die(std::string("parameter XML: ") + ParcodecGetLastError(h));
    std::free(parFile);
    if (!ParcodecOutToDefParFile(h, &parFile, &parLength))
      die(std::string("parameter file: ") + ParcodecGetLastError(h));
    ParcodecDestroyHandle(h);
    return size_t(parLength);
  });
  // The file back to XML, with the definition loaded as the tool does.
  measure("parameter file -> XML", size_t(parLength), [&] {
    ParcodecHandle* h = ParcodecCreateHandle();
    char* xml = nullptr;
    if (!ParcodecSetDefinition(h, table.definition.c_str(),
                               unsigned(table.definition.size() + 1)) ||
        !ParcodecInFromParFile(h, parFile, unsigned(parLength)) || !ParcodecGetDataAsXML(h, &xml))
      die(std::string("parameter decode: ") + ParcodecGetLastError(h));
    size_t n = std::strlen(xml);
    std::free(xml);
    ParcodecDestroyHandle(h);
    return n;
  });
  measure("parameter file -> XML (no definition)", size_t(parLength), [&] {
    ParcodecHandle* h = ParcodecCreateHandle();
    char* xml = nullptr;
    if (!ParcodecInFromParFile(h, parFile, unsigned(parLength)) || !ParcodecGetDataAsXML(h, &xml))
      die(std::string("parameter decode: ") + ParcodecGetLastError(h));
    size_t n = std::strlen(xml);
    std::free(xml);
    ParcodecDestroyHandle(h);
    return n;
  });
  std::free(parFile);

  std::string dictionaryXml;
  measure("object dictionary file -> XML", dictionary.size(), [&] {
    char* xml = nullptr;
    if (const char* err = OdcodecToXML(dictionary.data(), unsigned(dictionary.size()), &xml))
      die(std::string("dictionary: ") + err);
    dictionaryXml = xml;
    std::free(xml);
    return dictionaryXml.size();
  });
  measure("object dictionary XML -> file", dictionaryXml.size() + 1, [&] {
    void* data = nullptr;
    int length = 0;
    if (const char* err = OdcodecFromXML(dictionaryXml.c_str(), unsigned(dictionaryXml.size() + 1),
                                         &data, &length))
      die(std::string("dictionary XML: ") + err);
    if (size_t(length) != dictionary.size() ||
        std::memcmp(data, dictionary.data(), dictionary.size()))
      die("dictionary round trip differs");
    std::free(data);
    return size_t(length);
  });
  return 0;
}
