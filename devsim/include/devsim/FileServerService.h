// The file server service (protocol id 3): a directory per storage volume,
// download (host to device), upload (device to host), listing and unlink,
// with the messages of svcwire/FileServerWire.h.
//
// Names from the host are one plain file name inside the volume directory:
// empty, ".", "..", or a name with '/' or '\' is refused with -22; an unknown
// volume gives -19. A download is written under a temporary name in the
// volume directory and renamed over the target only once it is whole; a
// failed or cut download leaves the old file as it was. Temporary files are
// not listed. Upload data is paced by the link (see FileServerConfig).
//
// One FileServerState per device holds the volumes, the fault knobs and the
// record of requests; every channel's service shares it, and a test may turn
// the knobs while transfers run.
//
// Threads: a FileServerService runs on the device's thread; a delayed reply
// and an upload are sent from the service's own worker thread
// ("devsim-files"), which the destructor stops. FileServerState may be used
// from any thread; its lock is a leaf.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devsim/Service.h"
#include "plat/threadsafety.h"

namespace devsim {

struct FileServerConfig {
  // Volume name (as the host writes it) to its directory.
  std::map<std::string, std::filesystem::path> volumes;
  // Bytes of upload data per send: one link frame's data room.
  size_t frameData = 253;
  // Upload pacing: how many data frames the device has sent so far; null
  // queues an upload as fast as it is read.
  std::function<uint64_t()> framesSent;
  // How many upload frames may wait ahead of the link.
  size_t uploadBacklog = 64;
  // A download is acknowledged once at least this many bytes arrived since
  // the last acknowledgement (at most 1024), and always at its last fragment;
  // 0 acknowledges every fragment.
  size_t acknowledgeEvery = 0;
};

// What the device does wrong, until cleared. Byte counts are per transfer;
// -1 is off.
struct FileServerFaults {
  bool silent = false;         // no reply to any request
  uint32_t busyCount = 0;      // answer this many requests -11 first (counts down)
  uint32_t acceptDelayMs = 0;  // the first reply to a request that is not busy comes this late
  int64_t stopAcknowledgingAfter = -1;  // download: no acknowledgement past this many bytes
  int32_t acknowledgeOffset = 0;        // download: acknowledge position + this
  bool acknowledgeBackwards = false;    // download: the second acknowledgement goes back a byte
  int64_t closeAfter = -1;              // close the channel once this many file bytes moved
  bool wrongCode = false;               // the first reply carries code + 1
  bool wrongLength = false;             // the first reply has one byte too many
  int32_t listingCountOffset = 0;       // the listing's final count is off by this
  bool longName = false;                // the listing carries a 32-character name
  int32_t uploadLengthOffset = 0;  // upload: send size + this bytes (the size announced is true)
  int64_t noSpaceAfter = -1;       // download: -28 once more than this many bytes arrive
  // Sent, unasked, as soon as a channel opens (before any request); empty:
  // nothing.
  std::vector<uint8_t> greeting;
};

// One request as the device received it.
struct FileServerRecord {
  uint8_t code = 0;
  std::string volume;
  std::string name;
  int16_t attributes = 0;
};

class FileServerState {
 public:
  explicit FileServerState(FileServerConfig config = {});

  void configure(const FileServerConfig& config);
  FileServerConfig config() const;

  void setFaults(const FileServerFaults& faults);
  FileServerFaults faults() const;
  void clearFaults() { setFaults({}); }

  // Every request received (well-formed or not), in order.
  std::vector<FileServerRecord> requests() const;
  size_t requestCount(uint8_t code) const;
  void clearRecords();
  // The most download bytes that arrived beyond the last acknowledgement
  // sent, over every transfer since the records were cleared.
  int64_t largestUnacknowledged() const;
  // The attribute word a download stored with a file (0 when none).
  int16_t attributes(const std::string& volume, const std::string& name) const;

  // Service side.
  void record(const FileServerRecord& request);
  void noteUnacknowledged(int64_t bytes);
  // Takes one busy answer from the count; true when this request is busy.
  bool takeBusy();
  void setAttributes(const std::string& volume, const std::string& name, int16_t attributes);
  void forget(const std::string& volume, const std::string& name);

 private:
  mutable plat::Mutex mutex_;
  FileServerConfig config_ GUARDED_BY(mutex_);
  FileServerFaults faults_ GUARDED_BY(mutex_);
  std::vector<FileServerRecord> requests_ GUARDED_BY(mutex_);
  int64_t largestUnacknowledged_ GUARDED_BY(mutex_) = 0;
  std::map<std::pair<std::string, std::string>, int16_t> attributes_ GUARDED_BY(mutex_);
};

class FileServerService : public Service {
 public:
  FileServerService(std::shared_ptr<ServiceChannel> channel,
                    std::shared_ptr<FileServerState> state);
  ~FileServerService() override;

  void onData(const uint8_t* data, size_t length, bool last) override;
  void onClosed() override;

  // Makes a FileServerService on `state` for every channel opened with
  // protocol id 3.
  static ServiceFactory factory(std::shared_ptr<FileServerState> state);

  // Prefix of the temporary names downloads land under.
  static constexpr const char* kTemporaryPrefix = ".~dl-";

 private:
  struct Worker;
  struct Download;

  void takeRequest(const std::vector<uint8_t>& message);
  void startDownload(const std::string& volume, const std::filesystem::path& dir,
                     const std::string& name, int16_t attributes, const FileServerFaults& faults);
  void takeDownloadData(const uint8_t* data, size_t length, bool last);
  void startUpload(const std::filesystem::path& file, const FileServerFaults& faults);
  void list(const std::string& volume, const std::filesystem::path& dir,
            const FileServerFaults& faults);
  // Sends the first reply to a request, with the reply faults and delay.
  void firstReply(uint8_t code, int32_t value, const FileServerFaults& faults);
  void send(const std::vector<uint8_t>& message);
  void abandonDownload();

  const std::shared_ptr<ServiceChannel> channel_;
  const std::shared_ptr<FileServerState> state_;

  // Device thread only.
  MessageAssembler assembler_{4096};
  std::unique_ptr<Download> download_;
  bool discarding_ = false;  // dropping the rest of a refused download
  std::unique_ptr<Worker> worker_;
};

}  // namespace devsim
