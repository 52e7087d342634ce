#include "FileServerRunner.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sstream>

#include "fsproto/fsproto.h"
#include "plat/threadsafety.h"
#include "translayer/Event.h"

using translayer::Event;
using translayer::HwId;

namespace protoprobe {

namespace {

const char* const kUsage[] = {
    "",
    "Available command line:",
    "  <device> D <localfilename> <remotefilename> <attributes>: transfer local to remote",
    "  <device> U <localfilename> <remotefilename>             : transfer remote to local",
    "  <device> L                                              : directory listing",
    "  <device> R <remotefilename>                             : delete file",
    "",
    "Example:",
    "  root D myfile.bin myfile 030A",
};

bool equalsIgnoringCase(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

int32_t readInt32(const void* data, size_t at) {
  int32_t v;
  std::memcpy(&v, static_cast<const uint8_t*>(data) + at, sizeof v);
  return v;
}

struct Operation {
  Event done;
  plat::Mutex mutex;
  int32_t status GUARDED_BY(mutex) = 0;
};

void onEvent(void* user, int event, const void* data, size_t length) {
  auto* op = static_cast<Operation*>(user);
  const std::string text = fileServerEventText(event, data, length);
  if (!text.empty()) std::cout << text << std::flush;
  if (event != FSRV_EVENT_FINISHED && event != FSRV_EVENT_FAILED) return;
  {
    plat::LockGuard lock(op->mutex);
    op->status = data && length >= 4 ? readInt32(data, 0) : -1;
  }
  op->done.set();
}

}  // namespace

std::string fileListingHeader() {
  std::ostringstream line;
  line << std::left << std::setw(32) << "Name" << ' ' << std::right << std::setw(9) << "Size" << ' '
       << std::left << std::setw(5) << "Attr" << '\n';
  return line.str();
}

std::string fileServerEventText(int event, const void* data, size_t length) {
  // Each text in a stream of its own: no fill or base is left behind.
  std::ostringstream text;
  switch (event) {
    case FSRV_EVENT_FINISHED:
      text << "\nOperation successfully terminated ("
           << (data && length >= 4 ? readInt32(data, 0) : 0) << ").\n";
      break;
    case FSRV_EVENT_FAILED:
      text << "\nOperation aborted with error: " << (data && length >= 4 ? readInt32(data, 0) : -1)
           << "\n";
      break;
    case FSRV_EVENT_PROGRESS: {
      if (!data || length < 8) break;
      const int32_t total = readInt32(data, 4);
      text << "Transferred " << std::setw(9) << readInt32(data, 0);
      if (total != 0) text << " of " << total;
      text << '\r';
      break;
    }
    case FSRV_EVENT_DIR_ENTRY: {
      if (!data || length < sizeof(FSrvDirEntry)) break;
      FSrvDirEntry entry;
      std::memcpy(&entry, data, sizeof entry);
      // Up to the first zero, and never past the field.
      const std::string name(entry.name, strnlen(entry.name, sizeof entry.name));
      text << std::left << std::setw(32) << name << ' ' << std::right << std::setw(9) << entry.size
           << ' ' << std::hex << std::setfill('0') << std::setw(4)
           << unsigned(uint16_t(entry.attributes)) << "h\n";
      break;
    }
    default:
      break;
  }
  return text.str();
}

int runFileServer(const HwId& hwid, const std::vector<std::string>& args) {
  const size_t n = args.size();
  const std::string letter = n >= 2 ? args[1] : "";
  enum { kNone, kDownload, kUpload, kList, kRemove } op = kNone;
  if (n == 5 && equalsIgnoringCase(letter, "D")) op = kDownload;
  if (n == 4 && equalsIgnoringCase(letter, "U")) op = kUpload;
  if (n == 2 && equalsIgnoringCase(letter, "L")) op = kList;
  if (n == 3 && equalsIgnoringCase(letter, "R")) op = kRemove;
  if (op == kNone || equalsIgnoringCase(args[0], "HELP")) {
    for (const char* line : kUsage) std::cout << line << "\n";
    std::cout.flush();
    return -1;
  }
  Operation operation;
  const char* device = args[0].c_str();
  bool started = false;
  switch (op) {
    case kDownload:
      std::cout << "\nDownloading " << args[2] << " to " << args[3] << std::endl;
      started =
          ProtFSrvDownload(hwid.id, sizeof hwid.id, onEvent, &operation, device, args[2].c_str(),
                           args[3].c_str(), int(uint16_t(std::atol(args[4].c_str()))));
      break;
    case kUpload:
      std::cout << "\nUploading " << args[3] << " to " << args[2] << std::endl;
      started = ProtFSrvUpload(hwid.id, sizeof hwid.id, onEvent, &operation, device,
                               args[3].c_str(), args[2].c_str());
      break;
    case kList:
      std::cout << "\n" << fileListingHeader() << std::flush;
      started = ProtFSrvDir(hwid.id, sizeof hwid.id, onEvent, &operation, device);
      break;
    default:
      started =
          ProtFSrvUnlink(hwid.id, sizeof hwid.id, onEvent, &operation, device, args[2].c_str());
      break;
  }
  if (!started) {
    std::cout << "\nError on connection to remote party" << std::endl;
    ProtFSrvCleanup();
    return -2;
  }
  operation.done.wait();
  ProtFSrvCleanup();
  plat::LockGuard lock(operation.mutex);
  return operation.status >= 0 ? 0 : -3;
}

}  // namespace protoprobe
