// Discovery: the thread "usblinkEnum" follows the bus, gives each matching
// device a USBChannel with an index that is never reused, and reports
// arrivals and removals to the server.
//
// Threads and locks:
// - The discovery thread is the only one that creates, starts, stops and
//   retires channels, and the only caller of the MediaEventCallback, which it
//   calls with no usblink lock held.
// - discoveryMutex_ guards the two channel maps; the exports take it, then
//   (inside) a channel's callback mutex. Lock order: discovery, then channel.
// - Bus listeners and failing channels only queue a notice.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "USBChannel.h"
#include "UsbBackend.h"
#include "plat/threadsafety.h"
#include "translayer/BlockingQueue.h"
#include "translayer/Event.h"
#include "translayer/ThreadBase.h"
#include "usblink/MediaInterface.h"

namespace usblink {

class USBEnumeration : public translayer::ThreadBase, private BusListener, private ChannelOwner {
 public:
  USBEnumeration(std::unique_ptr<UsbBus> bus, MediaEventCallback callback, void* context);
  // Stops the thread (which stops every channel and the bus), then deletes
  // the channels, removed ones included.
  ~USBEnumeration() override;

  // Waits until the devices present at start have been reported.
  void waitReady() { ready_.wait(); }

  // The exports' work, under the discovery mutex. Removed channels are no
  // longer found, except that disconnect() of one releases it.
  bool channelInfo(uint32_t index, MediaChannelInfo* info);
  bool connect(uint32_t index, ChannelRxCallback rx, ChannelTxCallback tx, void* context,
               int* txEvent);
  bool disconnect(uint32_t index);

 protected:
  void run() override;

 private:
  struct Notice {
    enum Kind { kArrived, kRemoved, kFailed, kQuit } kind;
    std::string path;
    uint32_t index = 0;
  };

  ChannelOwner* owner() { return this; }
  void deviceArrived(const std::string& path) override;
  void deviceRemoved(const std::string& path) override;
  void channelFailed(uint32_t index) override;

  void discover();
  void arrive(const std::string& path);
  void remove(uint32_t index);
  bool knownPath(const std::string& path);
  void report(int kind, const uint32_t* indices, size_t count);
  void stopAll() NO_THREAD_SAFETY_ANALYSIS;

  std::unique_ptr<UsbBus> bus_;
  const MediaEventCallback callback_;
  void* const context_;
  translayer::Event ready_;
  translayer::BlockingQueue<Notice> notices_;
  uint32_t nextIndex_ = 1;  // discovery thread only

  plat::Mutex discoveryMutex_;
  std::map<uint32_t, std::unique_ptr<USBChannel>> channels_ GUARDED_BY(discoveryMutex_);
  // Reported removed and stopping: no longer found, but ChannelDisconnect
  // still reaches them (it must silence their callbacks).
  std::set<uint32_t> removing_ GUARDED_BY(discoveryMutex_);
  // Removed, but their transmit event is still in the server's hands until
  // ChannelDisconnect.
  std::map<uint32_t, std::unique_ptr<USBChannel>> retired_ GUARDED_BY(discoveryMutex_);
};

}  // namespace usblink
