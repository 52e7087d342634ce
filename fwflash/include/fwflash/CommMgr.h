// The updater's worker thread ("commgr"), the only code that talks to the
// device. It keeps a management connection to one device, polls it once a
// second, reports its firmware texts and name, and on command uploads a
// package as "fw.xpk" and requests the core firmware upgrade, or resets the
// device.
//
// Threads: pushCommand from any thread (the dialog's); every device and file
// server call on the worker; onFileServerEvent on the file server client's
// threads, where it only stores, signals or posts. The queue and the
// transfer-done state each have their own mutex, never held together.
// The owner pushes kCommandQuit and joins before the sink and the ports die.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "fwflash/UpdaterPorts.h"
#include "plat/threadsafety.h"
#include "translayer/ThreadBase.h"

namespace fwflash {

enum UpdaterCommandCode : int {
  kCommandQuit = 3,
  kCommandUpgrade = 9,
  kCommandReset = 12,
};

struct UpdaterCommand {
  int code = 0;
  std::string name1;          // volume
  std::string name2;          // remote file name
  std::vector<uint8_t> data;  // the package
};

inline constexpr const char* kTextLocalWriteError = "Error on writing to local filesystem";
inline constexpr const char* kTextAbortedTransfer = "Aborted file transfer with code ";
inline constexpr const char* kTextUpgradeRefused = "Firmware upgrade request failed";
inline constexpr const char* kTextNotConnected = "connection refused (ECONNREFUSED)";

struct CommMgrOptions {
  std::string tempDir;        // private directory for <hwid>.xpk
  int pollMs = 1000;          // command wait, and so the poll period
  int upgradeWatchMs = 5000;  // how long a refused upgrade is watched
  int upgradeWatchStepMs = 250;
};

class CommMgr : public translayer::ThreadBase {
 public:
  CommMgr(DeviceApi& device, FileServerApi& files, UpdaterEventSink& sink, CommMgrOptions options);
  ~CommMgr() override;

  // Before start().
  void setHwId(std::vector<uint8_t> hwid) { hwid_ = std::move(hwid); }

  void pushCommand(UpdaterCommand command);
  bool waitCommand(UpdaterCommand* command, int milliseconds);

  // The file server callback; user is the CommMgr.
  static void onFileServerEvent(void* user, int event, const void* data, size_t length);

  // <tempDir>/<hwid in lower-case hex>.xpk
  std::string tempPackagePath() const;

 protected:
  void run() override;

 private:
  void postEvent(int ok, int code, std::u16string text);
  void postText(int ok, int code, const std::string& bytes);  // widened byte by byte
  bool connectAndDescribe();
  void upgrade(const UpdaterCommand& command);
  bool deviceLeftWithin(int milliseconds);
  void clearTransferDone();
  int waitTransferDone();
  void dropHandle();

  DeviceApi& device_;
  FileServerApi& files_;
  UpdaterEventSink& sink_;
  const CommMgrOptions options_;
  std::vector<uint8_t> hwid_;
  DeviceApi::Handle handle_ = nullptr;  // worker thread only

  plat::Mutex queueMutex_;
  plat::CondVar queueCv_;
  std::deque<UpdaterCommand> queue_ GUARDED_BY(queueMutex_);

  plat::Mutex doneMutex_;
  plat::CondVar doneCv_;
  bool transferDone_ GUARDED_BY(doneMutex_) = false;
  int transferResult_ GUARDED_BY(doneMutex_) = 0;
};

// Device texts: standard UTF-8, each maximal ill-formed subsequence one
// U+FFFD.
std::u16string decodeUtf8(const std::string& bytes);

}  // namespace fwflash
