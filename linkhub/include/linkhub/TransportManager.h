// The single owner of everything between the media libraries and the
// client-facing side of the server: loads the media libraries, makes one
// device session (a SessionLayer with its TransportSessionHandler) per media
// channel that comes up and destroys it when the channel goes, hands out
// logical channels to pipe front ends, and tells listeners when the device
// list has changed.
//
// Threads:
// - the manager thread ("TransportManager"): EnvCreate, session creation and
//   removal, listener notification, and at the end the shutdown of every
//   link and EnvDestroy;
// - media discovery threads: mediaEventCallback (only queues);
// - layer threads: identity reports (noteIdentified, through the handler);
// - RPC call threads: allocChannel, reportOnlineDevices / onlineDevices;
// - UI threads: enumerateDevices, addListener, removeListener.
//
// Locks of the server, in the order they may be taken (a lock is only ever
// taken while holding locks above it):
//   1. TrIfServer stop mutex (leaf of its own: nothing is called under it)
//   2. TrIfServer server mutex (counter and front-end set; leaf)
//   3. sessionsMutex_ (the map, each handler's HwId and connected flag; held
//      across SessionLayer::openChannel/closeChannel inside allocChannel)
//   4. SessionLayer link mutex (the layer's own)
//   5. TransportSessionHandler slot mutex (front-end pointers of the slots)
//   then leaves: the front ends' engine locks, the manager's event queue and
//   stop mutex, and listenersMutex_ (held while listeners are called, so a
//   listener must not add or remove listeners from onListChanged).
// A media library's own callback lock sits above the link mutex; a media's
// discovery lock above the process-wide list of running managers that
// mediaEventCallback searches, which comes before a manager's stop mutex and
// queue. No manager lock is held while a layer is stopped or joined, while a
// session is destroyed, or while a client is called back.
// Processes, threads and this lock order in one picture: docs/architecture.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "linkhub/MediaLibrary.h"
#include "linkhub/SessionLayer.h"
#include "linkhub/TransportSessionHandler.h"
#include "plat/threadsafety.h"
#include "translayer/BlockingQueue.h"
#include "translayer/HwId.h"
#include "translayer/ThreadBase.h"
#include "translayer/TrIfTranRemote.h"

namespace linkhub {

// Listener of the device list (the device list dialog).
class TransportEv {
 public:
  // One call per connected device during TransportManager::enumerateDevices.
  virtual void onDeviceListed(const translayer::HwId* id) = 0;
  // The set of connected devices may have changed. Called on the manager
  // thread with the listeners lock held.
  virtual void onListChanged() = 0;

 protected:
  ~TransportEv() = default;
};

class TransportManager : public translayer::ThreadBase {
 public:
  // Listeners hear of a change once no manager event came for this long.
  static constexpr int kListQuietMs = 100;

  // Result codes of allocChannel, as OpenChannel passes them on.
  enum : uint8_t { kAllocated = 0, kNoDevice = 2, kNoFreeChannel = 3 };

  TransportManager();
  // stop(), then unloads the libraries.
  ~TransportManager() override;

  // The first manager constructed in the process (the one the user interface
  // reaches), null when none lives.
  static TransportManager* instance();

  // Loads every library named in the Media key of the registry file
  // (mediaRegistryKey), then starts the thread. False after ShowFatalError:
  // "Failed on opening configuration registry" when the key or one of its
  // values cannot be read, "Failed opening " + path for a library that does
  // not load or lacks an export (the libraries loaded so far stay loaded
  // until destruction).
  bool loadMedia(const std::string& company, const std::string& application);
  // Adds a media whose entry points are already at hand (an in-process one),
  // before start(). start() then runs the thread as loadMedia would.
  void addMedia(const MediaRecord& record);

  // Stops the thread: every link stops (each device is told when its link is
  // up), EnvDestroy runs for every library, and every session is destroyed
  // (its front ends are told to end and let go of their slots first).
  // Idempotent.
  void stop();

  // Takes a channel on the first connected device with this id and attaches
  // `frontEnd` (the front end's engine, told of the link's data and closes)
  // to its slot, returned in *slot. kNoDevice, or kNoFreeChannel (also while
  // that link is stopping or not set up again).
  uint8_t allocChannel(translayer::TrIfTranRemote* frontEnd, const translayer::HwId& hwid,
                       uint8_t protocolId, translayer::TrIfTranRemote** slot);

  // The ids of the connected devices, ordered by byte value, without
  // duplicates.
  std::vector<translayer::HwId> onlineDevices() const;
  // GetOnlineDevices: onlineDevices() handed to `callback` with no lock held.
  // 0, or 4 when the callback reports failure (a non-zero exception code).
  uint16_t reportOnlineDevices(
      const std::function<uint32_t(const translayer::HwId*, size_t)>& callback) const;
  // The same list, one visitor->onDeviceListed per id, with no lock held.
  void enumerateDevices(TransportEv* visitor) const;

  void addListener(TransportEv* listener);
  // Listeners must be removed before they are destroyed.
  void removeListener(TransportEv* listener);

  // The MediaEventCallback given to every EnvCreate; the context is the
  // library's MediaRecord. Events for a context that no running manager
  // loaded, and events after stop(), are dropped.
  static void mediaEventCallback(void* context, int kind, const uint32_t* indices, size_t count);

  // Observers.
  size_t sessionCount() const;
  size_t mediaCount() const { return media_.size(); }
  // The session handler of a device with this id (connected or not), for
  // tests; valid while that session lives.
  TransportSessionHandler* findHandler(const translayer::HwId& hwid) const;

 protected:
  void run() override;

 private:
  friend class TransportSessionHandler;

  struct ManagerEvent {
    int32_t kind = 0;      // 1 media event, 2 list changed, 3 stop
    uint16_t subKind = 0;  // media event kind: 1 arrived, 2 removed
    size_t media = 0;      // position in media_
    uint32_t index = 0;    // media channel index
  };
  enum : int32_t { kMediaEvent = 1, kListChanged = 2, kStop = 3 };

  struct Session {
    explicit Session(TransportManager* manager) : handler(manager, &layer) {}
    SessionLayer layer;  // made first, destroyed last
    TransportSessionHandler handler;
  };
  using SessionKey = std::pair<const MediaRecord*, uint32_t>;
  using SessionMap = std::map<SessionKey, std::unique_ptr<Session>>;

  bool stopRequested() const;
  void push(const ManagerEvent& event);
  // Position of the media whose record is `context`, or media_.size().
  size_t findMedia(const void* context) const;
  void pushMediaEvents(size_t media, int kind, const uint32_t* indices, size_t count);
  void noteIdentified(TransportSessionHandler* handler, const translayer::HwId& id);
  void onArrived(size_t media, uint32_t index);
  bool onRemoved(size_t media, uint32_t index);
  void notifyListeners();
  void shutdown();

  // Written before the thread starts (loadMedia, addMedia), read-only while
  // it runs. Records keep their addresses (they are the EnvCreate contexts).
  std::vector<std::unique_ptr<MediaRecord>> media_;

  mutable plat::Mutex sessionsMutex_;
  SessionMap sessions_ GUARDED_BY(sessionsMutex_);  // changed by the manager thread only

  translayer::BlockingQueue<ManagerEvent> queue_;

  mutable plat::Mutex listenersMutex_ ACQUIRED_AFTER(sessionsMutex_);
  std::set<TransportEv*> listeners_ GUARDED_BY(listenersMutex_);

  mutable plat::Mutex stopMutex_ ACQUIRED_AFTER(sessionsMutex_);
  bool stop_ GUARDED_BY(stopMutex_) = false;
};

}  // namespace linkhub
