#include "fwflash/ModuleInfo.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "codeccommon/XmlInput.h"
#include "fwflash/Packager.h"

namespace fwflash {
namespace {

class MemoryCallback : public Packager::Callback {
 public:
  explicit MemoryCallback(const std::vector<uint8_t>& package) : package_(package) {}

  int read(uint32_t position, uint8_t* destination, int length) override {
    if (length <= 0 || position >= package_.size()) return 0;
    const size_t n = std::min(size_t(length), package_.size() - position);
    std::memcpy(destination, package_.data() + position, n);
    return int(n);
  }

  int write(const uint8_t* source, int length) override {
    if (length < 0) return kMalformed;
    if (extracted.size() + size_t(length) > kMaxModuleInfoSize) return -27;  // too big
    extracted.insert(extracted.end(), source, source + length);
    return length;
  }

  std::vector<uint8_t> extracted;

 private:
  const std::vector<uint8_t>& package_;
};

}  // namespace

bool readModuleInfo(const std::vector<uint8_t>& package, ModuleInfo* info) {
  if (package.size() > kMaxPackageSize) return false;
  try {
    MemoryCallback callback(package);
    Packager packager(callback);
    uint64_t offset = 0;
    if (packager.findEntry(kModuleInfoTag, package.size(), &offset) != 0) return false;
    if (packager.extractEntry(offset) < 0) return false;

    codec::XmlInput xml(callback.extracted.data(), uint32_t(callback.extracted.size()));
    rapidxml::xml_node<>* module = xml.root("Module");
    rapidxml::xml_node<>* version = codec::firstChild(module, "Version");
    rapidxml::xml_node<>* target = codec::firstChild(module, "Target");
    rapidxml::xml_node<>* subTarget = codec::firstChild(module, "SubTarget");
    rapidxml::xml_node<>* verbose = codec::firstChild(module, "Verbose");
    if (!version || !target || !subTarget || !verbose) return false;
    ModuleInfo result;
    result.version = codec::text(version);
    result.target = codec::text(target);
    result.subTarget = codec::text(subTarget);
    result.verbose = codec::text(verbose);
    *info = std::move(result);
    return true;
  } catch (...) {
    return false;
  }
}

bool loadPackageFile(const std::string& path, std::vector<uint8_t>* bytes) {
  std::error_code ec;
  if (path.empty() || !std::filesystem::is_regular_file(path, ec)) return false;
  const uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxPackageSize) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  // Read at most one byte over the cap, so a file swapped for an endless one
  // after the check still ends.
  std::vector<uint8_t> data;
  uint8_t piece[65536];
  while (in) {
    in.read(reinterpret_cast<char*>(piece), sizeof piece);
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    data.insert(data.end(), piece, piece + got);
    if (data.size() > kMaxPackageSize) return false;
  }
  if (in.bad()) return false;
  *bytes = std::move(data);
  return true;
}

std::optional<ModuleInfo> readPackageFileModule(const std::string& path) {
  std::vector<uint8_t> bytes;
  ModuleInfo info;
  if (!loadPackageFile(path, &bytes) || !readModuleInfo(bytes, &info)) return std::nullopt;
  return info;
}

std::u16string widenBytes(const std::string& bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (unsigned char c : bytes) out.push_back(char16_t(c));
  return out;
}

}  // namespace fwflash
