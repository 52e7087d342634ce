#include "devsim/FileServerService.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <system_error>
#include <thread>

#include "plat/thread.h"
#include "svcwire/FileServerWire.h"

namespace devsim {

namespace fs = std::filesystem;
namespace wire = svcwire::filesrv;

namespace {

constexpr int32_t kNoSuchFile = -2;
constexpr int32_t kIoError = -5;
constexpr int32_t kNoDevice = -19;
constexpr int32_t kInvalid = -22;
constexpr int32_t kNoSpace = -28;

// A file name the host may name in a volume: one plain path component.
bool isPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of("/\\") == std::string::npos;
}

bool isTemporary(const std::string& name) {
  return name.rfind(FileServerService::kTemporaryPrefix, 0) == 0;
}

}  // namespace

// ---------------------------------------------------------------- FileServerState

FileServerState::FileServerState(FileServerConfig config) : config_(std::move(config)) {}

void FileServerState::configure(const FileServerConfig& config) {
  plat::LockGuard lock(mutex_);
  config_ = config;
}

FileServerConfig FileServerState::config() const {
  plat::LockGuard lock(mutex_);
  return config_;
}

void FileServerState::setFaults(const FileServerFaults& faults) {
  plat::LockGuard lock(mutex_);
  faults_ = faults;
}

FileServerFaults FileServerState::faults() const {
  plat::LockGuard lock(mutex_);
  return faults_;
}

std::vector<FileServerRecord> FileServerState::requests() const {
  plat::LockGuard lock(mutex_);
  return requests_;
}

size_t FileServerState::requestCount(uint8_t code) const {
  plat::LockGuard lock(mutex_);
  return size_t(std::count_if(requests_.begin(), requests_.end(),
                              [code](const FileServerRecord& r) { return r.code == code; }));
}

void FileServerState::clearRecords() {
  plat::LockGuard lock(mutex_);
  requests_.clear();
  largestUnacknowledged_ = 0;
}

int64_t FileServerState::largestUnacknowledged() const {
  plat::LockGuard lock(mutex_);
  return largestUnacknowledged_;
}

void FileServerState::noteUnacknowledged(int64_t bytes) {
  plat::LockGuard lock(mutex_);
  largestUnacknowledged_ = std::max(largestUnacknowledged_, bytes);
}

int16_t FileServerState::attributes(const std::string& volume, const std::string& name) const {
  plat::LockGuard lock(mutex_);
  auto it = attributes_.find({volume, name});
  return it == attributes_.end() ? 0 : it->second;
}

void FileServerState::record(const FileServerRecord& request) {
  plat::LockGuard lock(mutex_);
  requests_.push_back(request);
}

bool FileServerState::takeBusy() {
  plat::LockGuard lock(mutex_);
  if (faults_.busyCount == 0) return false;
  --faults_.busyCount;
  return true;
}

void FileServerState::setAttributes(const std::string& volume, const std::string& name,
                                    int16_t attributes) {
  plat::LockGuard lock(mutex_);
  attributes_[{volume, name}] = attributes;
}

void FileServerState::forget(const std::string& volume, const std::string& name) {
  plat::LockGuard lock(mutex_);
  attributes_.erase({volume, name});
}

// ---------------------------------------------------------------- Worker

// Runs the service's slow work in order: delayed replies and uploads. Every
// message that follows queued work goes through here too, so the host sees
// the device's messages in the order the device meant them.
struct FileServerService::Worker {
  using Task = std::function<void(const std::atomic<bool>& stop)>;

  Worker() {
    thread = std::thread([this] {
      plat::setCurrentThreadName("devsim-files");
      run();
    });
  }
  ~Worker() {
    {
      plat::LockGuard lock(mutex);
      stop = true;
    }
    cv.notify_all();
    thread.join();
  }

  void add(Task task) {
    {
      plat::LockGuard lock(mutex);
      tasks.push_back(std::move(task));
    }
    cv.notify_all();
  }
  // Nothing queued or running: a message may go out directly.
  bool idle() {
    plat::LockGuard lock(mutex);
    return tasks.empty() && !running;
  }
  // Sleeps `ms`, cut short by a stop; false when stopped.
  bool pause(uint32_t ms) {
    plat::UniqueLock lock(mutex);
    return !cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop.load(); });
  }

  void run() {
    plat::UniqueLock lock(mutex);
    while (!stop) {
      if (tasks.empty()) {
        cv.wait(lock);
        continue;
      }
      Task task = std::move(tasks.front());
      tasks.pop_front();
      running = true;
      lock.unlock();
      task(stop);
      lock.lock();
      running = false;
    }
  }

  plat::Mutex mutex;
  plat::CondVar cv;
  std::deque<Task> tasks GUARDED_BY(mutex);
  bool running GUARDED_BY(mutex) = false;
  std::atomic<bool> stop{false};
  std::thread thread;
};

// ---------------------------------------------------------------- Download

struct FileServerService::Download {
  std::string volume;
  std::string name;
  fs::path target;
  fs::path temporary;
  int16_t attributes = 0;
  std::FILE* file = nullptr;
  int64_t stored = 0;
  int64_t acknowledged = 0;  // bytes stored at the last acknowledgement
  FileServerFaults faults;

  ~Download() {
    if (file) std::fclose(file);
    if (!temporary.empty()) {
      std::error_code ec;
      fs::remove(temporary, ec);
    }
  }
};

// ---------------------------------------------------------------- FileServerService

FileServerService::FileServerService(std::shared_ptr<ServiceChannel> channel,
                                     std::shared_ptr<FileServerState> state)
    : channel_(std::move(channel)), state_(std::move(state)) {
  const FileServerFaults faults = state_->faults();
  if (!faults.greeting.empty()) channel_->send(faults.greeting);
}

FileServerService::~FileServerService() {
  worker_.reset();
  abandonDownload();
}

ServiceFactory FileServerService::factory(std::shared_ptr<FileServerState> state) {
  return [state](std::shared_ptr<ServiceChannel> channel) -> std::unique_ptr<Service> {
    return std::make_unique<FileServerService>(std::move(channel), state);
  };
}

void FileServerService::onClosed() {
  worker_.reset();
  abandonDownload();
}

void FileServerService::abandonDownload() { download_.reset(); }

void FileServerService::send(const std::vector<uint8_t>& message) {
  if (!worker_ || worker_->idle()) {
    channel_->send(message);
    return;
  }
  worker_->add([channel = channel_, message](const std::atomic<bool>&) { channel->send(message); });
}

void FileServerService::firstReply(uint8_t code, int32_t value, const FileServerFaults& faults) {
  std::vector<uint8_t> reply =
      wire::encodeReply(faults.wrongCode ? uint8_t(code + 1) : code, value);
  if (faults.wrongLength) reply.push_back(0);
  if (faults.acceptDelayMs == 0) {
    send(reply);
    return;
  }
  if (!worker_) worker_ = std::make_unique<Worker>();
  Worker* worker = worker_.get();
  worker_->add(
      [channel = channel_, reply, worker, ms = faults.acceptDelayMs](const std::atomic<bool>&) {
        if (worker->pause(ms)) channel->send(reply);
      });
}

void FileServerService::onData(const uint8_t* data, size_t length, bool last) {
  if (download_) {
    takeDownloadData(data, length, last);
    return;
  }
  if (discarding_) {
    if (last) discarding_ = false;
    return;
  }
  switch (assembler_.add(data, length, last)) {
    case MessageAssembler::Result::kComplete:
      takeRequest(assembler_.message());
      break;
    case MessageAssembler::Result::kTooLong:
      channel_->close();
      break;
    case MessageAssembler::Result::kMore:
      break;
  }
}

void FileServerService::takeRequest(const std::vector<uint8_t>& message) {
  wire::Request request;
  const bool wellFormed = wire::parseRequest(message.data(), message.size(), &request);
  state_->record({message.empty() ? uint8_t(0) : message[0], request.volume, request.name,
                  request.attributes});
  const FileServerFaults faults = state_->faults();
  if (faults.silent) return;
  if (!wellFormed) {
    // A request the device cannot read is answered only when its code says
    // what the answer would be.
    if (!message.empty() &&
        (message[0] == wire::kDownloadRequest || message[0] == wire::kUploadRequest ||
         message[0] == wire::kDirRequest || message[0] == wire::kUnlinkRequest))
      send(wire::encodeReply(uint8_t(message[0] + 1), kInvalid));
    return;
  }
  const uint8_t replyCode = uint8_t(request.code + 1);
  if (state_->takeBusy()) {
    firstReply(replyCode, wire::kBusy, FileServerFaults{});
    return;
  }
  const FileServerConfig config = state_->config();
  auto volume = config.volumes.find(request.volume);
  if (volume == config.volumes.end()) {
    firstReply(replyCode, kNoDevice, faults);
    return;
  }
  const fs::path& dir = volume->second;
  if (request.code == wire::kDirRequest) {
    list(request.volume, dir, faults);
    return;
  }
  if (!isPlainFileName(request.name)) {
    firstReply(replyCode, kInvalid, faults);
    return;
  }
  const fs::path file = dir / request.name;
  std::error_code ec;
  switch (request.code) {
    case wire::kDownloadRequest:
      startDownload(request.volume, dir, request.name, request.attributes, faults);
      return;
    case wire::kUploadRequest:
      if (!fs::is_regular_file(file, ec)) {
        firstReply(replyCode, kNoSuchFile, faults);
        return;
      }
      startUpload(file, faults);
      return;
    case wire::kUnlinkRequest:
      if (!fs::is_regular_file(file, ec)) {
        firstReply(replyCode, kNoSuchFile, faults);
        return;
      }
      if (!fs::remove(file, ec) || ec) {
        firstReply(replyCode, kIoError, faults);
        return;
      }
      state_->forget(request.volume, request.name);
      firstReply(replyCode, 0, faults);
      return;
    default:
      return;
  }
}

// ---- download (host to device) ----

void FileServerService::startDownload(const std::string& volume, const fs::path& dir,
                                      const std::string& name, int16_t attributes,
                                      const FileServerFaults& faults) {
  static std::atomic<uint64_t> counter{0};
  auto d = std::make_unique<Download>();
  d->volume = volume;
  d->name = name;
  d->target = dir / name;
  d->attributes = attributes;
  d->faults = faults;
  std::error_code ec;
  if (fs::is_directory(d->target, ec)) {
    firstReply(wire::kDownloadReply, kInvalid, faults);
    return;
  }
  d->temporary =
      dir / (std::string(kTemporaryPrefix) + std::to_string(counter.fetch_add(1)) + "-" + name);
  d->file = std::fopen(d->temporary.string().c_str(), "wb");
  if (!d->file) {
    d->temporary.clear();
    firstReply(wire::kDownloadReply, kIoError, faults);
    return;
  }
  download_ = std::move(d);
  firstReply(wire::kDownloadReply, 0, faults);
}

void FileServerService::takeDownloadData(const uint8_t* data, size_t length, bool last) {
  Download& d = *download_;
  const FileServerFaults& f = d.faults;
  if (f.noSpaceAfter >= 0 && d.stored + int64_t(length) > f.noSpaceAfter) {
    send(wire::encodeReply(wire::kAcknowledge, kNoSpace));
    download_.reset();
    discarding_ = !last;
    return;
  }
  if (length > 0 && std::fwrite(data, 1, length, d.file) != length) {
    send(wire::encodeReply(wire::kAcknowledge, kIoError));
    download_.reset();
    discarding_ = !last;
    return;
  }
  d.stored += int64_t(length);
  state_->noteUnacknowledged(d.stored - d.acknowledged);
  if (f.closeAfter >= 0 && d.stored >= f.closeAfter) {
    download_.reset();
    channel_->close();
    return;
  }
  const size_t every = std::min<size_t>(state_->config().acknowledgeEvery, wire::kWindow);
  const bool due = last || every == 0 || d.stored - d.acknowledged >= int64_t(every);
  const bool stopped = f.stopAcknowledgingAfter >= 0 && d.stored > f.stopAcknowledgingAfter;
  if (due && !stopped) {
    int64_t position = d.stored + f.acknowledgeOffset;
    if (f.acknowledgeBackwards && d.acknowledged > 0) position = d.acknowledged - 1;
    d.acknowledged = d.stored;
    send(wire::encodeReply(wire::kAcknowledge, int32_t(position)));
  }
  if (!last) return;
  // Whole: only now does it replace the target.
  const bool closed = std::fclose(d.file) == 0;
  d.file = nullptr;
  std::error_code ec;
  if (closed) fs::rename(d.temporary, d.target, ec);
  if (!closed || ec) {
    download_.reset();
    send(wire::encodeReply(wire::kDownloadReply, kIoError));
    return;
  }
  d.temporary.clear();
  state_->setAttributes(d.volume, d.name, d.attributes);
  download_.reset();
  send(wire::encodeReply(wire::kDownloadReply, 0));
}

// ---- upload (device to host) ----

void FileServerService::startUpload(const fs::path& file, const FileServerFaults& faults) {
  std::FILE* in = std::fopen(file.string().c_str(), "rb");
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  if (!in || ec || size > uint64_t(INT32_MAX)) {
    if (in) std::fclose(in);
    firstReply(wire::kUploadReply, kIoError, faults);
    return;
  }
  firstReply(wire::kUploadReply, int32_t(size), faults);
  if (faults.wrongCode || faults.wrongLength) {
    std::fclose(in);
    return;
  }
  if (!worker_) worker_ = std::make_unique<Worker>();
  const FileServerConfig config = state_->config();
  const int64_t toSend = std::max<int64_t>(0, int64_t(size) + faults.uploadLengthOffset);
  worker_->add([channel = channel_, in, toSend, config, closeAfter = faults.closeAfter,
                worker = worker_.get()](const std::atomic<bool>& stop) {
    const size_t piece = std::clamp<size_t>(config.frameData, 1, wire::kWindow);
    std::vector<uint8_t> buffer(piece);
    const uint64_t sentAtStart = config.framesSent ? config.framesSent() : 0;
    uint64_t queued = 0;
    int64_t left = toSend, moved = 0;
    bool ok = true;
    if (left == 0) ok = channel->send(nullptr, 0, true);
    while (ok && left > 0 && !stop) {
      if (config.framesSent) {
        const uint64_t sent = config.framesSent() - sentAtStart;
        if (sent < queued && queued - sent >= config.uploadBacklog) {
          // The device has no word for "frame sent": look again shortly.
          worker->pause(1);
          continue;
        }
      }
      const size_t n = size_t(std::min<int64_t>(left, int64_t(piece)));
      const size_t got = std::fread(buffer.data(), 1, n, in);
      // Past the file's end (a long upload) the bytes are zeros.
      std::fill(buffer.begin() + std::ptrdiff_t(got), buffer.begin() + std::ptrdiff_t(n), 0);
      left -= int64_t(n);
      moved += int64_t(n);
      if (closeAfter >= 0 && moved >= closeAfter) {
        channel->close();
        ok = false;
        break;
      }
      ok = channel->send(buffer.data(), n, left == 0);
      ++queued;
    }
    std::fclose(in);
    if (ok && !stop) channel->send(wire::encodeReply(wire::kUploadReply, 0));
  });
}

// ---- listing ----

void FileServerService::list(const std::string& volume, const fs::path& dir,
                             const FileServerFaults& faults) {
  std::vector<std::pair<std::string, int32_t>> files;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code ignored;
    if (!it->is_regular_file(ignored) || isTemporary(name) || name.size() > wire::kMaxName)
      continue;
    const auto size = it->file_size(ignored);
    files.emplace_back(name, int32_t(std::min<uint64_t>(ignored ? 0 : size, INT32_MAX)));
  }
  if (ec) {
    firstReply(wire::kDirReply, kIoError, faults);
    return;
  }
  std::sort(files.begin(), files.end());
  firstReply(wire::kDirReply, 0, faults);
  if (faults.wrongCode || faults.wrongLength) return;
  std::vector<uint8_t> entries;
  int32_t count = 0;
  for (const auto& [name, size] : files) {
    wire::appendEntry(entries, name, size, state_->attributes(volume, name));
    ++count;
  }
  if (faults.longName) {
    wire::appendEntry(entries, std::string(wire::kNameField, 'n'), 0, 0);
    ++count;
  }
  entries.push_back(0);  // the empty name ends the listing
  send(entries);
  send(wire::encodeReply(wire::kDirReply, count + faults.listingCountOffset));
}

}  // namespace devsim
