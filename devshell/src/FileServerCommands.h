// The file server commands of the console: filels (a volume's listing),
// filerm (delete a file), fileput (send a local file to the device) and
// fileget (receive a device file). Each starts one fsproto transfer and
// waits until the library has reported its outcome.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "CoreCommands.h"
#include "UsrConsole.h"
#include "plat/threadsafety.h"

class FileServerCommands {
 public:
  // Registers the commands with `console`; `settings` must outlive them.
  FileServerCommands(UsrConsole& console, std::vector<uint8_t> hwid, const ShellSettings& settings);
  // Ends and frees every transfer fsproto still knows (ProtFSrvCleanup).
  ~FileServerCommands();
  FileServerCommands(const FileServerCommands&) = delete;
  FileServerCommands& operator=(const FileServerCommands&) = delete;

  // The longest storage selector and device file name the device's requests
  // carry; longer ones are refused, not cut.
  static constexpr size_t kMaxStorage = 7;
  static constexpr size_t kMaxFileName = 31;

  // fsproto's callback; `user` is the group.
  static void onEvent(void* user, int event, const void* data, size_t length);

 private:
  // Starts a transfer with `start` and waits for its outcome; throws
  // "Error while executing <name>" when it did not start, and
  // "File server error: ..." for a failure unless `skipMissing` and -2.
  // True when the file was skipped.
  template <typename Start>
  bool run(const UsrConInvocation& invocation, Start start, bool skipMissing = false);

  const std::vector<uint8_t> hwid_;
  const ShellSettings& settings_;

  plat::Mutex mutex_;
  plat::CondVar done_;
  // Guarded by mutex_:
  bool finished_ GUARDED_BY(mutex_) = false;
  int32_t result_ GUARDED_BY(mutex_) = 0;
  // The running filels's output, only while it runs.
  std::ostream* rows_ GUARDED_BY(mutex_) = nullptr;
};

// One listing row, as filels prints it (with its line end).
std::string listingRow(uint32_t size, uint16_t attributes, const char* name);
// The header above the rows.
std::string listingHeader();
// One progress line: "Transferred ", done in 9 columns, " of " and total
// unless it is 0, and a carriage return.
std::string progressLine(uint32_t done, uint32_t total);
// "File server error: " and the code's text, or its decimal value when it
// has none.
std::string fileServerError(int32_t code);
