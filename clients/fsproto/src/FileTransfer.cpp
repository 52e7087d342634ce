#include "FileTransfer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

namespace fsproto {

namespace fs = std::filesystem;
namespace wire = svcwire::filesrv;

namespace {

// A name beside `target` that no other upload (of this or another process)
// picks: the target's name, a random part and a counter.
std::string temporaryName(const fs::path& target, unsigned attempt) {
  static std::atomic<uint64_t> counter{0};
  static const uint64_t seed = [] {
    std::random_device device;
    return (uint64_t(device()) << 32) ^ device();
  }();
  const uint64_t n = seed ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull) ^ attempt;
  char tag[24];
  std::snprintf(tag, sizeof tag, "%016llx", static_cast<unsigned long long>(n));
  return (target.parent_path() / ("." + target.filename().string() + "." + tag + ".part")).string();
}

// Where `path` leads once every symbolic link on its last component is
// followed (the link's directory anchors a relative one); empty when the
// links go round.
fs::path followLinks(fs::path path) {
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(path, ec))) return path;
    const fs::path next = fs::read_symlink(path, ec);
    if (ec) return {};
    path = next.is_absolute() ? next : path.parent_path() / next;
  }
  return {};
}

}  // namespace

FileTransfer::FileTransfer(Setup setup, TransferSink* sink)
    : setup_(std::move(setup)), sink_(sink) {
  uint8_t code = wire::kDirRequest;
  switch (setup_.kind) {
    case Kind::kDownload:
      code = wire::kDownloadRequest;
      break;
    case Kind::kUpload:
      code = wire::kUploadRequest;
      break;
    case Kind::kDir:
      code = wire::kDirRequest;
      break;
    case Kind::kUnlink:
      code = wire::kUnlinkRequest;
      break;
  }
  request_ = wire::encodeRequest(code, setup_.volume, setup_.remote, int16_t(setup_.attributes));
}

FileTransfer::~FileTransfer() {
  closeLocal();
  dropTemporary();
}

uint8_t FileTransfer::replyCode() const { return uint8_t(request_[0] + 1); }

int FileTransfer::openSource() {
  if (setup_.kind != Kind::kDownload) return 0;
  std::error_code ec;
  // A directory opens for reading on some systems; only a regular file is
  // something to send.
  if (!fs::is_regular_file(fs::path(setup_.local), ec)) return kNoSuchFile;
  file_ = std::fopen(setup_.local.c_str(), "rb");
  if (!file_) return kNoSuchFile;
  const auto size = fs::file_size(fs::path(setup_.local), ec);
  if (ec) {
    closeLocal();
    return kNoSuchFile;
  }
  if (size > uint64_t(INT32_MAX)) {
    closeLocal();
    return kFileTooBig;
  }
  size_ = int64_t(size);
  return 0;
}

void FileTransfer::sendRequest() {
  message_.clear();
  continuation_ = false;
  sink_->sendChunk(request_.data(), request_.size(), true);
}

void FileTransfer::begin(int64_t now) {
  // Already ended by a message that came first: asking now would have the
  // device act (an unlink delete its file) after the failure was reported.
  if (finished_) return;
  requested_ = true;
  sendRequest();
  deadline_ = now + kReplyWaitNs;
}

bool FileTransfer::refuse() {
  fail(kProtocol);
  return false;
}

bool FileTransfer::onChunk(const uint8_t* data, size_t length, bool last, int64_t now) {
  // A message that nobody asked for: after the outcome, before the request,
  // or while a busy answer waits for its resend.
  if (finished_) return false;
  if (!requested_) return refuse();
  if (resendPending_ && !continuation_) return refuse();
  if (length > wire::kWindow) return refuse();
  deadline_ = now + kReplyWaitNs;
  if (phase_ == Phase::kUploadData) return takeUploadData(data, length, last, now);

  // Replies are 5 bytes; only a listing may be longer.
  const size_t cap = phase_ == Phase::kListing ? kMessageCap : wire::kReplyLength;
  if (length > cap - message_.size()) return refuse();
  message_.insert(message_.end(), data, data + length);
  if (!last) {
    continuation_ = true;
    return true;
  }
  continuation_ = false;
  const bool ok = decodeMessage(now);
  message_.clear();
  if (!ok) return refuse();
  return true;
}

bool FileTransfer::decodeMessage(int64_t now) {
  if (phase_ == Phase::kListing) {
    if (!wire::parseListing(message_.data(), message_.size(), &entries_)) return false;
    phase_ = Phase::kFinalReply;
    return true;
  }
  wire::Reply reply;
  if (!wire::parseReply(message_.data(), message_.size(), &reply)) return false;
  switch (phase_) {
    case Phase::kFirstReply:
      return decodeFirst(reply, now);
    case Phase::kDownloadData:
      return decodeAcknowledge(reply, now);
    case Phase::kFinalReply:
      return decodeFinal(reply, now);
    default:
      return false;
  }
}

bool FileTransfer::decodeFirst(const wire::Reply& reply, int64_t now) {
  if (reply.code != replyCode()) return false;
  if (reply.value == wire::kBusy && budget_ > 0) {
    // Asked again once, a little later; only another busy answer asks again.
    resendPending_ = true;
    deadline_ = now + kResendDelayNs;
    return true;
  }
  if (reply.value < 0) {
    fail(reply.value);
    return true;
  }
  switch (setup_.kind) {
    case Kind::kDownload: {
      phase_ = Phase::kDownloadData;
      done_ = 0;
      if (!sendPiece(size_t(std::min<int64_t>(size_, int64_t(wire::kWindow))))) return true;
      progress(now, true);
      return true;
    }
    case Kind::kUpload:
      size_ = reply.value;
      done_ = 0;
      if (!startUploadTarget()) {
        fail(kBadFile);
        return true;
      }
      phase_ = Phase::kUploadData;
      progress(now, true);
      return true;
    case Kind::kDir:
      phase_ = Phase::kListing;
      return true;
    case Kind::kUnlink:
      succeed(reply.value);
      return true;
  }
  return false;
}

bool FileTransfer::sendPiece(size_t length) {
  uint8_t piece[wire::kWindow];
  if (length > 0 && std::fread(piece, 1, length, file_) != length) {
    // The file shrank under us.
    fail(kIoError);
    return false;
  }
  sent_ += int64_t(length);
  sink_->sendChunk(piece, length, sent_ == size_);
  if (sent_ == size_) closeLocal();
  return true;
}

bool FileTransfer::decodeAcknowledge(const wire::Reply& reply, int64_t now) {
  if (reply.code != wire::kDownloadReply && reply.code != wire::kAcknowledge) return false;
  if (reply.value < 0) {
    fail(reply.value);
    return true;
  }
  // The device can only have stored what it was sent, and never forgets.
  const int64_t position = reply.value;
  if (position < done_ || position > sent_) return false;
  const int64_t advance = position - done_;
  done_ = position;
  // Each piece replaces what was acknowledged, so no more than one window is
  // ever unacknowledged.
  if (advance > 0 && sent_ < size_ && !sendPiece(size_t(std::min(advance, size_ - sent_))))
    return true;
  if (sent_ == size_ && done_ == size_) phase_ = Phase::kFinalReply;
  progress(now, false);
  return true;
}

bool FileTransfer::startUploadTarget() {
  // A link stays a link: the file it leads to is what gets replaced.
  const fs::path target = followLinks(fs::path(setup_.local));
  if (target.empty()) return false;
  std::error_code ec;
  const fs::file_status status = fs::status(target, ec);
  if (fs::is_directory(status)) return false;
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    // A device node or a FIFO cannot be replaced by a rename.
    direct_ = true;
    file_ = std::fopen(target.string().c_str(), "wb");
    return file_ != nullptr;
  }
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    const std::string name = temporaryName(target, attempt);
    file_ = std::fopen(name.c_str(), "wbx");
    if (file_) {
      tempPath_ = name;
      targetPath_ = target.string();
      // The replacement is no more open than the file it replaces, from
      // before its first byte. Set-id bits stay behind, as a write over the
      // old file would clear them.
      if (fs::is_regular_file(status)) {
        fs::permissions(fs::path(name), status.permissions() & fs::perms::all,
                        fs::perm_options::replace, ec);
        if (ec) {
          closeLocal();
          dropTemporary();
          return false;
        }
      }
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool FileTransfer::takeUploadData(const uint8_t* data, size_t length, bool last, int64_t now) {
  if (int64_t(length) > size_ - done_) return refuse();  // more than announced
  if (length > 0) {
    errno = 0;
    if (std::fwrite(data, 1, length, file_) != length) {
      fail(errno ? -errno : kIoError);
      return false;
    }
    done_ += int64_t(length);
  }
  if (!last) {
    progress(now, false);
    return true;
  }
  if (done_ != size_) return refuse();  // fewer than announced
  errno = 0;
  const int flushed = std::fflush(file_);
  const int error = errno;
  closeLocal();
  if (flushed != 0) {
    fail(error ? -error : kIoError);
    return false;
  }
  phase_ = Phase::kFinalReply;
  progress(now, true);
  return true;
}

bool FileTransfer::commitUpload() {
  if (tempPath_.empty()) return true;
  std::error_code ec;
  fs::rename(fs::path(tempPath_), fs::path(targetPath_), ec);
  if (ec) {
    fail(-(ec.value() ? ec.value() : EIO));
    return false;
  }
  tempPath_.clear();
  return true;
}

bool FileTransfer::decodeFinal(const wire::Reply& reply, int64_t now) {
  if (reply.code != replyCode()) return false;
  if (reply.value < 0) {
    fail(reply.value);
    return true;
  }
  switch (setup_.kind) {
    case Kind::kDownload:
      progress(now, true);
      succeed(reply.value);
      return true;
    case Kind::kUpload:
      progress(now, true);
      if (commitUpload()) succeed(reply.value);
      return true;
    case Kind::kDir: {
      if (uint64_t(reply.value) != entries_.size()) return false;
      for (const wire::Entry& e : entries_) {
        FSrvDirEntry row{};
        std::memcpy(row.name, e.name.data(), std::min(e.name.size(), sizeof row.name - 1));
        row.size = e.size;
        row.attributes = e.attributes;
        sink_->report(FSRV_EVENT_DIR_ENTRY, &row, sizeof row);
      }
      succeed(reply.value);
      return true;
    }
    case Kind::kUnlink:
      return false;  // its outcome came with the first reply
  }
  return false;
}

void FileTransfer::onTimer(int64_t now) {
  if (finished_ || now < deadline_) return;
  if (resendPending_) {
    resendPending_ = false;
    --budget_;
    sendRequest();
    deadline_ = now + kReplyWaitNs;
    return;
  }
  fail(kTimedOut);
}

void FileTransfer::onChannelClosed() { fail(kChannelEnded); }

void FileTransfer::progress(int64_t now, bool forced) {
  if (setup_.kind != Kind::kDownload && setup_.kind != Kind::kUpload) return;
  const int32_t done = int32_t(done_), total = int32_t(size_);
  if (reported_ && done == lastDone_ && total == lastTotal_) return;
  if (!forced && now < nextProgress_) return;
  // Due again a period after this report, so a stall is not made up for
  // with a burst.
  nextProgress_ = now + kProgressPeriodNs;
  reported_ = true;
  lastDone_ = done;
  lastTotal_ = total;
  const int32_t values[2] = {done, total};
  sink_->report(FSRV_EVENT_PROGRESS, values, sizeof values);
}

void FileTransfer::succeed(int32_t value) {
  if (finished_) return;
  finished_ = true;
  closeLocal();
  sink_->report(FSRV_EVENT_FINISHED, &value, sizeof value);
}

void FileTransfer::fail(int32_t code) {
  if (finished_) return;
  finished_ = true;
  closeLocal();
  dropTemporary();
  sink_->report(FSRV_EVENT_FAILED, &code, sizeof code);
}

void FileTransfer::closeLocal() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

void FileTransfer::dropTemporary() {
  if (tempPath_.empty()) return;
  std::error_code ec;
  fs::remove(fs::path(tempPath_), ec);
  tempPath_.clear();
}

}  // namespace fsproto
