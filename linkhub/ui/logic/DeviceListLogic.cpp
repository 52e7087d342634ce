#include "linkhub/ui/DeviceListLogic.h"

#include <chrono>
#include <cstring>

#include "base/Utf8.h"
#include "linkhub/ServerUi.h"
#include "plat/errors.h"
#include "plat/registry.h"
#include "plat/spawn.h"
#include "plat/verinfo.h"

using linkhub::formatFatalError;

using translayer::formatHwId;
using translayer::HwId;
using translayer::ThreadBase;

namespace hubui {

namespace {

// Length of the well-formed UTF-8 sequence at text[i], or 0.
size_t sequenceLength(std::string_view text, size_t i) {
  const auto b = [&](size_t k) { return uint8_t(text[k]); };
  const uint8_t c = b(i);
  const size_t left = text.size() - i;
  auto cont = [&](size_t k) { return k < text.size() && (b(k) & 0xC0) == 0x80; };
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return left >= 2 && cont(i + 1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (left < 3 || !cont(i + 1) || !cont(i + 2)) return 0;
    if (c == 0xE0 && b(i + 1) < 0xA0) return 0;   // overlong
    if (c == 0xED && b(i + 1) >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (left < 4 || !cont(i + 1) || !cont(i + 2) || !cont(i + 3)) return 0;
    if (c == 0xF0 && b(i + 1) < 0x90) return 0;   // overlong
    if (c == 0xF4 && b(i + 1) >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t n = sequenceLength(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string cutUtf8(std::string_view text, size_t maxBytes) {
  return std::string(text.substr(0, base::utf8CutPoint(text, maxBytes)));
}

std::string cutChars(std::string_view text, size_t maxChars) {
  size_t i = 0;
  for (size_t chars = 0; i < text.size() && chars < maxChars; ++chars) {
    ++i;
    while (i < text.size() && (uint8_t(text[i]) & 0xC0) == 0x80) ++i;
  }
  return std::string(text.substr(0, i));
}

std::string hexUpper(const HwId& id) { return formatHwId(id, true); }
std::string hexLower(const HwId& id) { return formatHwId(id, false); }

std::optional<std::string> decodeDeviceName(const uint8_t* data, size_t size) {
  const void* zero = std::memchr(data, 0, size);
  const size_t len = zero ? size_t(static_cast<const uint8_t*>(zero) - data) : size;
  std::string name(reinterpret_cast<const char*>(data), len);
  if (!isValidUtf8(name)) return std::nullopt;
  return name;
}

// ---- worker ----------------------------------------------------------------

DeviceListWorker::DeviceListWorker(DeviceAccess* access, ResultSink results, BusySink busy,
                                   int identifyPauseMs)
    : ThreadBase("CDeviceListDlg"),
      access_(access),
      results_(std::move(results)),
      busy_(std::move(busy)),
      identifyPauseMs_(identifyPauseMs) {}

DeviceListWorker::~DeviceListWorker() { stop(); }

void DeviceListWorker::start() {
  started_ = true;
  ThreadBase::start();
}

void DeviceListWorker::push(Request request) {
  {
    plat::LockGuard lock(mutex_);
    if (quit_) return;
    queue_.push_back(std::move(request));
  }
  cv_.notify_all();
}

void DeviceListWorker::dropNameReads() {
  plat::LockGuard lock(mutex_);
  std::erase_if(queue_, [](const Request& r) { return r.kind == RequestKind::kReadName; });
}

void DeviceListWorker::stop() {
  {
    plat::LockGuard lock(mutex_);
    quit_ = true;
    queue_.clear();
  }
  cv_.notify_all();
  if (started_ && !joined_) {
    joined_ = true;
    join();
  }
}

size_t DeviceListWorker::queued() const {
  plat::LockGuard lock(mutex_);
  return queue_.size();
}

bool DeviceListWorker::pause(int ms) {
  plat::UniqueLock lock(mutex_);
  return !cv_.wait_for(lock, std::chrono::milliseconds(ms),
                       [this]() REQUIRES(mutex_) { return quit_; });
}

void DeviceListWorker::run() {
  for (;;) {
    Request request;
    {
      plat::UniqueLock lock(mutex_);
      if (queue_.empty() && !quit_) {
        lock.unlock();
        if (busy_) busy_(false);
        lock.lock();
      }
      cv_.wait(lock, [this]() REQUIRES(mutex_) { return quit_ || !queue_.empty(); });
      if (quit_) return;
      request = std::move(queue_.front());
      queue_.pop_front();
    }
    if (request.kind == RequestKind::kQuit) return;
    if (busy_) busy_(true);
    Result result;
    result.kind = request.kind;
    result.hwid = request.hwid;
    switch (request.kind) {
      case RequestKind::kReadName: {
        uint8_t buffer[kMaxReadBytes] = {};
        if (access_->readName(request.hwid, buffer)) {
          if (auto name = decodeDeviceName(buffer, sizeof buffer)) {
            result.ok = true;
            result.text = std::move(*name);
          }
        }
        break;
      }
      case RequestKind::kStoreName:
        result.ok = access_->storeName(request.hwid, request.name);
        result.text = request.name;
        break;
      case RequestKind::kIdentify:
        result.ok = access_->identify(request.hwid, kIdentifyMs);
        // No other request while the device shows itself; a stop ends the wait.
        if (!pause(identifyPauseMs_)) return;
        break;
      case RequestKind::kReset:
        result.ok = access_->reset(request.hwid);
        break;
      default:
        continue;
    }
    if (results_) results_(std::move(result));
  }
}

// ---- model -----------------------------------------------------------------

std::vector<Request> DeviceListModel::refresh(const std::vector<HwId>& ids) {
  rows_.clear();
  std::vector<Request> reads;
  for (const HwId& id : ids) {
    rows_.push_back(Row{id, hexUpper(id), std::string(), false});
    reads.push_back(Request{RequestKind::kReadName, id, {}});
  }
  if (editing_ && rowOf(*editing_) < 0) editing_.reset();
  return reads;
}

int DeviceListModel::rowOf(const HwId& id) const {
  for (size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i].hwid == id) return int(i);
  return -1;
}

DeviceListModel::Applied DeviceListModel::apply(const Result& result) {
  Applied applied;
  const int row = rowOf(result.hwid);
  if (row < 0) return applied;
  Row& r = rows_[size_t(row)];
  switch (result.kind) {
    case RequestKind::kReadName:
      r.name = result.ok ? result.text : kNameReadError;
      r.editable = result.ok;
      applied.row = row;
      break;
    case RequestKind::kStoreName:
      // A stored name is already shown as it was sent: nothing to read back.
      if (!result.ok) {
        r.name = kNameStoreError;
        r.editable = false;
        if (editing_ && *editing_ == r.hwid) editing_.reset();
      }
      applied.row = row;
      break;
    default:
      break;
  }
  return applied;
}

bool DeviceListModel::beginEdit(int row) {
  if (row < 0 || size_t(row) >= rows_.size() || !rows_[size_t(row)].editable) return false;
  editing_ = rows_[size_t(row)].hwid;
  return true;
}

std::optional<Request> DeviceListModel::commitEdit(const std::string& text) {
  if (!editing_) return std::nullopt;
  const HwId id = *editing_;
  editing_.reset();
  const int row = rowOf(id);
  if (row < 0) return std::nullopt;
  // The editor gives valid UTF-8; the cut keeps it so.
  std::string name = cutUtf8(text, kMaxNameBytes);
  rows_[size_t(row)].name = name;
  return Request{RequestKind::kStoreName, id, std::move(name)};
}

// ---- version texts ---------------------------------------------------------

VersionLookup programVersionLookup() {
  return [](const std::string& key, std::string* value) {
    return plat::readFileVersionString("/proc/self/exe", key, value);
  };
}

AboutTexts aboutTexts(const VersionLookup& lookup) {
  AboutTexts t;
  std::string v;
  if (lookup("ProductName", &v)) {
    t.caption = v;
    t.product = v;
  }
  if (lookup("ProductVersion", &v)) t.version = "Version " + v;
  if (lookup("LegalCopyright", &v)) t.copyright = v;
  return t;
}

std::string trayTooltip(const VersionLookup& lookup) {
  std::string v;
  if (!lookup("ProductName", &v)) return {};
  return cutChars(v, 127);
}

// ---- updater ---------------------------------------------------------------

UpdaterLaunch launchUpdater(const std::string& company, const std::string& application,
                            const HwId& id, const SpawnFunction& spawn) {
  UpdaterLaunch launch;
  const char* registryContext = "Failed on opening configuration registry";
  plat::RegKey key;
  int rc = plat::regOpenKey(plat::RegRoot::kLocalMachine,
                            "SOFTWARE\\" + company + "\\" + application, &key);
  std::string command;
  if (rc == 0) rc = plat::regGetString(key, "Updater", &command);
  // The value is read into 260 bytes with its terminator.
  if (rc == 0 && command.size() + 1 > 260) rc = plat::kErrorMoreData;
  if (rc != 0) {
    launch.errorText = formatFatalError(uint32_t(rc), registryContext);
    return launch;
  }
  const std::string context = "Failed on starting the updater \"" + command + "\"";
  if (!plat::splitCommandWords(command, &launch.argv)) {
    launch.errorText = formatFatalError(13, context);
    return launch;
  }
  launch.argv.push_back(hexLower(id));
  rc = spawn ? spawn(launch.argv) : plat::spawnDetached(launch.argv);
  if (rc != 0) {
    launch.errorText = formatFatalError(uint32_t(rc), context);
    return launch;
  }
  launch.ok = true;
  return launch;
}

}  // namespace hubui
