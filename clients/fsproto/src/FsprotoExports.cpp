// What fsproto exports: its flat API over FileServerProc, the registry of
// transfers and the error texts.
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "FileServerProc.h"
#include "clientcommon/Assert.h"
#include "fsproto/fsproto.h"
#include "plat/threadsafety.h"

using translayer::HwId;

namespace {

using fsproto::FileServerProc;
using fsproto::FileTransfer;

// Every started transfer until a later call or the cleanup frees it. A
// transfer is registered only once it has fully started, so nobody frees one
// whose start is still running; freeing happens outside the lock.
class Registry {
 public:
  // Registers `proc` (when given) and hands back the finished transfers.
  std::vector<std::unique_ptr<FileServerProc>> add(std::unique_ptr<FileServerProc> proc) {
    std::vector<std::unique_ptr<FileServerProc>> done;
    plat::LockGuard lock(mutex_);
    for (auto it = transfers_.begin(); it != transfers_.end();) {
      if ((*it)->finished()) {
        done.push_back(std::move(*it));
        it = transfers_.erase(it);
      } else {
        ++it;
      }
    }
    if (proc) transfers_.push_back(std::move(proc));
    return done;
  }
  std::vector<std::unique_ptr<FileServerProc>> takeAll() {
    plat::LockGuard lock(mutex_);
    std::vector<std::unique_ptr<FileServerProc>> all = std::move(transfers_);
    transfers_.clear();
    return all;
  }

 private:
  plat::Mutex mutex_;
  std::vector<std::unique_ptr<FileServerProc>> transfers_ GUARDED_BY(mutex_);
};

// Never destroyed, since a call may come from another thread while the
// process ends; kept in the library's own static storage rather than on the
// heap, so unloading leaves nothing behind (the unloader empties it).
Registry& registry() {
  alignas(Registry) static unsigned char storage[sizeof(Registry)];
  static Registry* instance = new (storage) Registry;
  return *instance;
}

void freeAll(std::vector<std::unique_ptr<FileServerProc>> transfers) {
  for (auto& proc : transfers) {
    // A transfer cannot wait for its own thread; one whose thread runs this
    // (the process ending inside a callback) is left to the process's end.
    if (proc->onOwnThread())
      (void)proc.release();
    else
      proc.reset();
  }
}

// Ends what the caller left running when the library is unloaded (or the
// process ends).
struct Unloader {
  ~Unloader() { freeAll(registry().takeAll()); }
} unloader;

std::string text(const char* s) { return s ? std::string(s) : std::string(); }

bool startTransfer(const uint8_t* hwid, size_t hwidsz, ProtFSrvCallback cb, void* user,
                   FileTransfer::Setup setup) {
  VLN_CLIENT_ASSERT(hwidsz == FSPROTO_HWID_SIZE, "sizeof(inhwid.id) == _hwidsz", "fsproto");
  HwId id;
  std::memcpy(id.id, hwid, sizeof id.id);
  auto proc = std::make_unique<FileServerProc>(id, cb, user, std::move(setup));
  const bool started = proc->start();
  freeAll(registry().add(started ? std::move(proc) : nullptr));
  return started;
}

}  // namespace

extern "C" {

FSPROTO_API bool ProtFSrvDownload(const uint8_t* hwid, size_t hwidsz, ProtFSrvCallback cb,
                                  void* user, const char* volume, const ProtFSrvPathChar* local,
                                  const char* remote, int attributes) {
  FileTransfer::Setup setup;
  setup.kind = FileTransfer::Kind::kDownload;
  setup.volume = text(volume);
  setup.remote = text(remote);
  setup.local = text(local);
  setup.attributes = attributes;
  return startTransfer(hwid, hwidsz, cb, user, std::move(setup));
}

FSPROTO_API bool ProtFSrvUpload(const uint8_t* hwid, size_t hwidsz, ProtFSrvCallback cb, void* user,
                                const char* volume, const char* remote,
                                const ProtFSrvPathChar* local) {
  FileTransfer::Setup setup;
  setup.kind = FileTransfer::Kind::kUpload;
  setup.volume = text(volume);
  setup.remote = text(remote);
  setup.local = text(local);
  return startTransfer(hwid, hwidsz, cb, user, std::move(setup));
}

FSPROTO_API bool ProtFSrvDir(const uint8_t* hwid, size_t hwidsz, ProtFSrvCallback cb, void* user,
                             const char* volume) {
  FileTransfer::Setup setup;
  setup.kind = FileTransfer::Kind::kDir;
  setup.volume = text(volume);
  return startTransfer(hwid, hwidsz, cb, user, std::move(setup));
}

FSPROTO_API bool ProtFSrvUnlink(const uint8_t* hwid, size_t hwidsz, ProtFSrvCallback cb, void* user,
                                const char* volume, const char* remote) {
  FileTransfer::Setup setup;
  setup.kind = FileTransfer::Kind::kUnlink;
  setup.volume = text(volume);
  setup.remote = text(remote);
  return startTransfer(hwid, hwidsz, cb, user, std::move(setup));
}

FSPROTO_API void ProtFSrvCleanup(void) { freeAll(registry().takeAll()); }

FSPROTO_API const char* ProtFSrvTranslateError(int code) {
  switch (code) {
    case -2:
      return "No such file (ENOENT)";
    case -5:
      return "Input/output error (EIO)";
    case -9:
      return "Bad file descriptor (EBADF)";
    case -11:
      return "Resource temporarily unavailable (EAGAIN)";
    case -16:
      return "Device or resource busy (EBUSY)";
    case -17:
      return "File exists (EEXIST)";
    case -19:
      return "No such device (ENODEV)";
    case -22:
      return "Invalid argument (EINVAL)";
    case -28:
      return "No space left on device (ENOSPC)";
    case -107:
      return "connection refused (ECONNREFUSED)";
    case -108:
      return "connection reset by remote party (ECONNRESET)";
    default:
      return nullptr;
  }
}

}  // extern "C"
