// The device list's logic, what its window does without any widget: its rows
// keyed by HwId, the worker that talks to the devices, and the text rules of
// the names. The window (DeviceListDialog) only shows the model and forwards
// the user's actions.
//
// Every request and result carries its device's HwId and is applied to the
// row with that HwId, so a refresh between request and result can never
// put one device's name on another (a result for a device no longer listed
// is dropped).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plat/threadsafety.h"
#include "translayer/HwId.h"
#include "translayer/ThreadBase.h"

namespace hubui {

inline constexpr const char* kNameReadError = "(Error while retrieving name from device)";
inline constexpr const char* kNameStoreError = "(Error while storing name to device)";
// Longest name stored to a device, in bytes.
inline constexpr size_t kMaxNameBytes = 255;
// Longest name read from a device, in bytes (no terminator needed).
inline constexpr size_t kMaxReadBytes = 256;
// How long a device shows itself, and the worker waits for it.
inline constexpr int kIdentifyMs = 3000;

bool isValidUtf8(std::string_view text);
// The longest prefix of at most maxBytes bytes that ends on a whole
// character (of valid UTF-8 input).
std::string cutUtf8(std::string_view text, size_t maxBytes);
// The first maxChars characters of valid UTF-8 input.
std::string cutChars(std::string_view text, size_t maxChars);
std::string hexUpper(const translayer::HwId& id);
std::string hexLower(const translayer::HwId& id);
// A name buffer as the device filled it: the text up to its first zero byte
// (all `size` bytes when there is none); nullopt when that is not UTF-8.
std::optional<std::string> decodeDeviceName(const uint8_t* data, size_t size);

enum class RequestKind : int {
  kQuit = 1,
  kReadName = 4,
  kStoreName = 5,
  kIdentify = 6,
  kReset = 7
};

struct Request {
  RequestKind kind = RequestKind::kReadName;
  translayer::HwId hwid{};
  std::string name;  // kStoreName: UTF-8, at most kMaxNameBytes
};

struct Result {
  RequestKind kind = RequestKind::kReadName;
  translayer::HwId hwid{};
  bool ok = false;
  std::string text;  // kReadName: the name as decoded (empty when not ok)
};

// The devmgr calls of the worker, one connection per call.
class DeviceAccess {
 public:
  virtual ~DeviceAccess() = default;
  // The name buffer (kMaxReadBytes) as the device filled it.
  virtual bool readName(const translayer::HwId& id, uint8_t (&buffer)[kMaxReadBytes]) = 0;
  virtual bool storeName(const translayer::HwId& id, const std::string& name) = 0;
  virtual bool identify(const translayer::HwId& id, int durationMs) = 0;
  virtual bool reset(const translayer::HwId& id) = 0;
};

// The devmgr library (the server is its own client).
class DevmgrDeviceAccess : public DeviceAccess {
 public:
  bool readName(const translayer::HwId& id, uint8_t (&buffer)[kMaxReadBytes]) override;
  bool storeName(const translayer::HwId& id, const std::string& name) override;
  bool identify(const translayer::HwId& id, int durationMs) override;
  bool reset(const translayer::HwId& id) override;
};

// Runs the requests one at a time in the order queued. Results and busy
// changes go to the sinks on the worker thread; a sink must only post them
// to the window (it must not wait for the window's thread, which joins the
// worker).
class DeviceListWorker : private translayer::ThreadBase {
 public:
  using ResultSink = std::function<void(Result)>;
  using BusySink = std::function<void(bool)>;

  DeviceListWorker(DeviceAccess* access, ResultSink results, BusySink busy,
                   int identifyPauseMs = kIdentifyMs);
  // stop().
  ~DeviceListWorker() override;

  void start();
  void push(Request request);
  // Forgets the queued name reads (a refresh queues new ones).
  void dropNameReads();
  // Forgets every queued request, ends an identification pause at once and
  // joins the thread. Idempotent.
  void stop();

  size_t queued() const;

 private:
  void run() override;
  // False when stop() came first.
  bool pause(int ms);

  DeviceAccess* access_;
  ResultSink results_;
  BusySink busy_;
  const int identifyPauseMs_;

  mutable plat::Mutex mutex_;
  plat::CondVar cv_;
  std::deque<Request> queue_ GUARDED_BY(mutex_);
  bool quit_ GUARDED_BY(mutex_) = false;
  bool started_ = false;
  bool joined_ = false;
};

struct Row {
  translayer::HwId hwid{};
  std::string hex;   // 32 upper-case digits
  std::string name;  // what the Name column shows
  bool editable = false;
};

// The rows of one window, owned by the window's thread.
class DeviceListModel {
 public:
  // Rebuilds the rows from the listed ids (in the order given). Returns the
  // name reads to queue. An edit in progress stays open when its device is
  // still listed, and is dropped (editing() empty) when it is gone.
  std::vector<Request> refresh(const std::vector<translayer::HwId>& ids);

  const std::vector<Row>& rows() const { return rows_; }
  int rowOf(const translayer::HwId& id) const;  // -1 when not listed

  struct Applied {
    int row = -1;  // the row changed, -1 when the result was dropped
  };
  Applied apply(const Result& result);

  // Editing in place: only an editable row.
  bool beginEdit(int row);
  std::optional<translayer::HwId> editing() const { return editing_; }
  // Ends the edit with the editor's text: the name is cut to kMaxNameBytes
  // at a whole character, shown as sent, and returned as the store request.
  // Nothing when no edit is open or its device has gone.
  std::optional<Request> commitEdit(const std::string& text);
  void cancelEdit() { editing_.reset(); }

 private:
  std::vector<Row> rows_;
  std::optional<translayer::HwId> editing_;
};

// Version texts of the about box and the tray (looked up by key; false when
// the program has no such value).
using VersionLookup = std::function<bool(const std::string& key, std::string* value)>;
VersionLookup programVersionLookup();

struct AboutTexts {
  // The template's texts, kept where a value cannot be read.
  std::string caption = "About";
  std::string product;
  std::string version = "Version";
  std::string copyright;
};
AboutTexts aboutTexts(const VersionLookup& lookup);
// The product name cut to 127 characters; empty when it cannot be read.
std::string trayTooltip(const VersionLookup& lookup);

// "Firmware update": the "Updater" value of the server's registry key, split
// into words, with the device's HwId (32 lower-case digits) appended, started
// detached.
struct UpdaterLaunch {
  bool ok = false;
  std::vector<std::string> argv;  // what was (or would have been) started
  std::string errorText;          // when not ok: the box's text
};
using SpawnFunction = std::function<int(const std::vector<std::string>& argv)>;
UpdaterLaunch launchUpdater(const std::string& company, const std::string& application,
                            const translayer::HwId& id, const SpawnFunction& spawn = {});

}  // namespace hubui
