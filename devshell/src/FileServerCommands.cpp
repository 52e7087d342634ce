#include "FileServerCommands.h"

#include <cstdio>
#include <cstring>
#include <iostream>

#include "fsproto/fsproto.h"

namespace {

void checkStorage(const std::string& stor) {
  if (stor.size() > FileServerCommands::kMaxStorage)
    throw std::string("Storage selector too long (at most 7 bytes)");
}

void checkFileName(const std::string& name) {
  if (name.size() > FileServerCommands::kMaxFileName)
    throw std::string("File name too long (at most 31 bytes)");
}

}  // namespace

// Rows and progress are formatted apart from any stream, so no stream state
// carries from one row (or command) to the next.
std::string listingRow(uint32_t size, uint16_t attributes, const char* name) {
  char line[80];
  std::snprintf(line, sizeof line, "%9u %04xh %-32s\n", size, unsigned(attributes), name);
  return line;
}

std::string listingHeader() {
  char line[80];
  std::snprintf(line, sizeof line, "%9s %-5s %-32s\n", "Size", "Attr", "Name");
  return line;
}

std::string progressLine(uint32_t done, uint32_t total) {
  char line[64];
  if (total != 0)
    std::snprintf(line, sizeof line, "Transferred %9u of %u\r", done, total);
  else
    std::snprintf(line, sizeof line, "Transferred %9u\r", done);
  return line;
}

std::string fileServerError(int32_t code) {
  const char* text = ProtFSrvTranslateError(code);
  return "File server error: " + (text ? std::string(text) : std::to_string(code));
}

void FileServerCommands::onEvent(void* user, int event, const void* data, size_t length) {
  auto* self = static_cast<FileServerCommands*>(user);
  switch (event) {
    case FSRV_EVENT_FINISHED:
    case FSRV_EVENT_FAILED: {
      int32_t result = 0;
      if (data && length == sizeof result) std::memcpy(&result, data, sizeof result);
      {
        plat::LockGuard lock(self->mutex_);
        self->result_ = result;
        self->finished_ = true;
      }
      self->done_.notify_all();
      return;
    }
    case FSRV_EVENT_PROGRESS: {
      if (self->settings_.quiet || !data || length != 8) return;
      uint32_t values[2];
      std::memcpy(values, data, sizeof values);
      std::cout << progressLine(values[0], values[1]) << std::flush;
      return;
    }
    case FSRV_EVENT_DIR_ENTRY: {
      if (!data || length != sizeof(FSrvDirEntry)) return;
      FSrvDirEntry entry;
      std::memcpy(&entry, data, sizeof entry);
      entry.name[sizeof entry.name - 1] = 0;
      const std::string row =
          listingRow(uint32_t(entry.size), uint16_t(entry.attributes), entry.name);
      plat::LockGuard lock(self->mutex_);
      if (self->rows_) *self->rows_ << row;
      return;
    }
    default:
      return;
  }
}

template <typename Start>
bool FileServerCommands::run(const UsrConInvocation& invocation, Start start, bool skipMissing) {
  {
    plat::LockGuard lock(mutex_);
    finished_ = false;
    result_ = 0;
  }
  if (!start()) throw "Error while executing " + invocation->name;
  int32_t result = 0;
  {
    // The library ends every started transfer with an outcome.
    plat::UniqueLock lock(mutex_);
    done_.wait(lock, [this]() REQUIRES(mutex_) { return finished_; });
    result = result_;
  }
  if (result >= 0) return false;
  if (skipMissing && result == -2) return true;
  throw fileServerError(result);
}

FileServerCommands::FileServerCommands(UsrConsole& console, std::vector<uint8_t> hwid,
                                       const ShellSettings& settings)
    : hwid_(std::move(hwid)), settings_(settings) {
  const UsrConField<std::string> storOptional("root", "stor", "storage selector");
  console.addCommand(
      "filels", "device storage directory listing", {&storOptional},
      [this](const UsrConInvocation& invocation, std::ostream& out) {
        const std::string& stor = invocation->arg<std::string>(0);
        checkStorage(stor);
        if (!settings_.quiet) out << listingHeader();
        {
          plat::LockGuard lock(mutex_);
          rows_ = &out;
        }
        // The stream is the command's: the library never sees it after this.
        struct Release {
          FileServerCommands* self;
          ~Release() {
            plat::LockGuard lock(self->mutex_);
            self->rows_ = nullptr;
          }
        } release{this};
        run(invocation,
            [&] { return ProtFSrvDir(hwid_.data(), hwid_.size(), onEvent, this, stor.c_str()); });
      },
      1);

  const UsrConField<std::string> stor("", "stor", "storage selector");
  const UsrConField<std::string> file("", "file", "file name to be erased");
  const UsrConField<SwIgnore> ignore(SwIgnore{}, "ignore",
                                     "/i ignore if file doesn't exists, /f force deletion");
  console.addCommand(
      "filerm", "device storage file deletion", {&stor, &file, &ignore},
      [this](const UsrConInvocation& invocation, std::ostream& out) {
        const std::string& volume = invocation->arg<std::string>(0);
        const std::string& name = invocation->arg<std::string>(1);
        const bool skipMissing = invocation->arg<SwIgnore>(2).ignore;
        checkStorage(volume);
        checkFileName(name);
        const bool skipped = run(
            invocation,
            [&] {
              return ProtFSrvUnlink(hwid_.data(), hwid_.size(), onEvent, this, volume.c_str(),
                                    name.c_str());
            },
            skipMissing);
        if (!settings_.quiet) out << (skipped ? "File skipped" : "File erased") << std::endl;
      },
      1);

  const UsrConField<std::string> srcLocal("", "srcfile", "source file name");
  const UsrConField<std::string> dstRemote("", "dstfile", "destination file name");
  const UsrConField<unsigned short> attr(0, "attr", "attributes");
  console.addCommand(
      "fileput", "device storage file send to remote", {&stor, &srcLocal, &dstRemote, &attr},
      [this](const UsrConInvocation& invocation, std::ostream& out) {
        const std::string& volume = invocation->arg<std::string>(0);
        const std::string& local = invocation->arg<std::string>(1);
        const std::string& remote = invocation->arg<std::string>(2);
        const unsigned short attributes = invocation->arg<unsigned short>(3);
        checkStorage(volume);
        checkFileName(remote);
        run(invocation, [&] {
          return ProtFSrvDownload(hwid_.data(), hwid_.size(), onEvent, this, volume.c_str(),
                                  local.c_str(), remote.c_str(), attributes);
        });
        if (!settings_.quiet)
          out << std::endl
              << "Local file " << local << " sent to remote as " << remote << std::endl;
      },
      1);

  const UsrConField<std::string> srcRemote("", "srcfile", "source file name");
  const UsrConField<std::string> dstLocal("", "dstfile", "destination file name");
  console.addCommand(
      "fileget", "device storage file receive from remote", {&stor, &srcRemote, &dstLocal},
      [this](const UsrConInvocation& invocation, std::ostream& out) {
        const std::string& volume = invocation->arg<std::string>(0);
        const std::string& remote = invocation->arg<std::string>(1);
        const std::string& local = invocation->arg<std::string>(2);
        checkStorage(volume);
        checkFileName(remote);
        run(invocation, [&] {
          return ProtFSrvUpload(hwid_.data(), hwid_.size(), onEvent, this, volume.c_str(),
                                remote.c_str(), local.c_str());
        });
        if (!settings_.quiet)
          out << std::endl
              << "Remote file " << remote << " locally received as " << local << std::endl;
      });
}

FileServerCommands::~FileServerCommands() { ProtFSrvCleanup(); }
