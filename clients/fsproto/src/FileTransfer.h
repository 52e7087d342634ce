// The protocol of one file server transfer, apart from its threads: what is
// sent, what each device message means, the time-outs, progress and the
// outcome. FileServerProc drives it under its dispatch lock and supplies the
// time; the tests and the fuzz target drive it directly.
//
// Every call reports through the sink before it returns; once finished() the
// transfer reports and sends nothing more.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fsproto/fsproto.h"
#include "svcwire/FileServerWire.h"

namespace fsproto {

class TransferSink {
 public:
  // One pipe chunk of at most 1024 bytes; `last` ends the message.
  virtual void sendChunk(const uint8_t* data, size_t length, bool last) = 0;
  // A callback event (ProtFSrvCallback's event, data and length).
  virtual void report(int event, const void* data, size_t length) = 0;

 protected:
  ~TransferSink() = default;
};

class FileTransfer {
 public:
  enum class Kind { kDownload, kUpload, kDir, kUnlink };

  struct Setup {
    Kind kind = Kind::kDir;
    std::string volume;
    std::string remote;
    std::string local;  // download source or upload target
    int attributes = 0;
  };

  static constexpr int64_t kMs = 1000000;
  static constexpr int64_t kReplyWaitNs = 4000 * kMs;
  static constexpr int64_t kResendDelayNs = 250 * kMs;
  static constexpr int64_t kProgressPeriodNs = 250 * kMs;
  static constexpr int kResendBudget = 16;
  // A message the device sends in one piece, bigger than any listing it
  // could mean, ends the transfer.
  static constexpr size_t kMessageCap = 64u << 20;

  enum Error : int32_t {
    kNoSuchFile = -2,
    kIoError = -5,
    kBadFile = -9,
    kFileTooBig = -27,
    kNoChannel = -107,
    kChannelEnded = -108,
    kProtocol = -127,
    kTimedOut = -138,
  };

  FileTransfer(Setup setup, TransferSink* sink);
  // Closes the local file, and removes an upload's unfinished one.
  ~FileTransfer();
  FileTransfer(const FileTransfer&) = delete;
  FileTransfer& operator=(const FileTransfer&) = delete;

  // A download's source: 0 when it is open (or there is none to open), else
  // the code to report (-2 or -27); nothing is reported here.
  int openSource();
  // Sends the request and arms the reply deadline; nothing once finished.
  void begin(int64_t now);
  // One chunk of a device message. False asks the caller to end the channel
  // (a protocol error or a local write failure, reported already, or a chunk
  // that came after the outcome). A chunk before begin() is a protocol error.
  bool onChunk(const uint8_t* data, size_t length, bool last, int64_t now);
  // The deadline has passed (now >= deadline()): resends after a busy
  // answer, else -138.
  void onTimer(int64_t now);
  // The channel ended: -108 unless the outcome is known.
  void onChannelClosed();
  // Fails the transfer with `code` unless its outcome is known.
  void fail(int32_t code);

  bool finished() const { return finished_; }
  int64_t deadline() const { return deadline_; }
  int resendBudget() const { return budget_; }
  const std::string& temporaryPath() const { return tempPath_; }

 private:
  enum class Phase { kFirstReply, kUploadData, kDownloadData, kListing, kFinalReply };

  uint8_t replyCode() const;
  bool decodeMessage(int64_t now);
  bool decodeFirst(const svcwire::filesrv::Reply& reply, int64_t now);
  bool decodeAcknowledge(const svcwire::filesrv::Reply& reply, int64_t now);
  bool decodeFinal(const svcwire::filesrv::Reply& reply, int64_t now);
  bool takeUploadData(const uint8_t* data, size_t length, bool last, int64_t now);
  bool startUploadTarget();
  bool sendPiece(size_t length);
  bool commitUpload();
  void progress(int64_t now, bool forced);
  void succeed(int32_t value);
  void closeLocal();
  void dropTemporary();
  bool refuse();
  void sendRequest();

  const Setup setup_;
  TransferSink* const sink_;

  Phase phase_ = Phase::kFirstReply;
  bool finished_ = false;
  bool requested_ = false;  // begin() has sent the request
  bool resendPending_ = false;
  int budget_ = kResendBudget;
  int64_t deadline_ = 0;
  std::vector<uint8_t> request_;
  std::vector<uint8_t> message_;  // the device message being joined
  bool continuation_ = false;

  std::FILE* file_ = nullptr;
  std::string tempPath_;    // an upload's new file until it is renamed
  std::string targetPath_;  // what it is renamed to: the upload target, links followed
  bool direct_ = false;     // an upload written straight into a special file
  int64_t size_ = 0;        // the file's size
  int64_t sent_ = 0;        // download: bytes sent
  int64_t done_ = 0;        // download: acknowledged position; upload: bytes received
  std::vector<svcwire::filesrv::Entry> entries_;

  int64_t nextProgress_ = 0;
  bool reported_ = false;
  int32_t lastDone_ = 0, lastTotal_ = 0;
};

}  // namespace fsproto
