// A tiny device on the virtual USB bus, for tests: it publishes its socket,
// answers the link descriptor request, records the bulk OUT transfers it gets
// and sends the bulk IN transfers the test gives it. All of its socket work
// runs on its own thread; the test talks to it through commands.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plat/handle.h"
#include "plat/threadsafety.h"
#include "plat/wake.h"

namespace usblink::test {

class FakeVbusDevice {
 public:
  using Bytes = std::vector<uint8_t>;
  static constexpr int kWaitMs = 10000;

  struct Options {
    uint16_t transferSize = 512;
    uint16_t magic = 0xAC1F;
    size_t answerExtra = 0;      // bytes beyond wLength in the descriptor answer
    std::vector<Bytes> earlyIn;  // bulk IN transfers sent before the answer
  };

  FakeVbusDevice(std::string dir, std::string id, Options options);
  ~FakeVbusDevice();

  // Publishes the socket (atomically) and starts serving; false on failure.
  bool plugIn();
  // Sends one bulk IN transfer once the host is connected.
  void sendIn(const Bytes& payload);
  // Drops the host's connection; the socket file stays.
  void dropConnection();
  // Removes the socket file and stops listening; the connection stays.
  void unlinkSocket();

  bool waitConnected(int ms = kWaitMs) const;
  bool waitDisconnected(int ms = kWaitMs) const;
  bool waitOut(size_t count, int ms = kWaitMs) const;
  std::vector<Bytes> out() const;  // bulk OUT transfers, as received
  int descriptorRequests() const;

 private:
  enum class Command { kDrop, kUnlink, kStop };

  void serve();
  void handleRecord(const Bytes& record);
  void send(const Bytes& record);
  void closeConnection();

  const std::string dir_;
  const std::string id_;
  const Options options_;
  plat::WakeEvent wake_;
  std::thread thread_;

  mutable plat::Mutex mutex_;
  mutable plat::CondVar changed_;
  std::deque<Command> commands_ GUARDED_BY(mutex_);
  std::deque<Bytes> outbox_ GUARDED_BY(mutex_);  // bulk IN payloads
  std::vector<Bytes> out_ GUARDED_BY(mutex_);
  bool connected_ GUARDED_BY(mutex_) = false;
  bool everConnected_ GUARDED_BY(mutex_) = false;
  int descriptorRequests_ GUARDED_BY(mutex_) = 0;

  // Device thread only (and plugIn before it starts).
  plat::Handle listener_ = plat::kInvalidHandle;
  plat::Handle connection_ = plat::kInvalidHandle;
};

}  // namespace usblink::test
