#include "testsupport/FakeHub.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "plat/msgpipe.h"
#include "translayer/TrIfTranCommon.h"

using translayer::ConnectionServerCall;
using translayer::HwId;
using translayer::kChunkData;
using translayer::TrIfTranCommon;
using translayer::TrIfTranPayload;
using translayer::TrIfTranRemote;

namespace devmgr_test {

// One open channel: its pipe, the engine on it and the service behind it.
class FakeHub::Session : public TrIfTranRemote, public devsim::ServiceChannel {
 public:
  Session(FakeHub* hub, const HwId& hwid, uint8_t protocolId, plat::Handle listener,
          devsim::ServiceFactory factory)
      : hub_(hub),
        hwid_(hwid),
        protocolId_(protocolId),
        listener_(listener),
        factory_(std::move(factory)) {}
  ~Session() override {
    engine_.close(false);
    if (thread_.joinable()) thread_.join();
  }

  void start() {
    thread_ = std::thread([this] { run(); });
  }
  void end() { engine_.close(false); }
  const HwId& hwid() const { return hwid_; }

  // TrIfTranRemote: the client's chunks, on the session thread.
  bool deliver(std::shared_ptr<TrIfTranPayload> chunk) override {
    if (service_) service_->onData(chunk->data, chunk->length, chunk->last != 0);
    return true;
  }
  void close(bool) override {}

  // devsim::ServiceChannel: the service's replies, from any thread.
  uint8_t channel() const override { return 1; }
  uint8_t protocolId() const override { return protocolId_; }
  bool send(const uint8_t* data, size_t length, bool last) override {
    if (engine_.ended()) return false;
    if (length == 0 && !last) return true;
    do {
      auto chunk = std::make_shared<TrIfTranPayload>();
      chunk->length = uint16_t(std::min(length, kChunkData));
      if (chunk->length) std::memcpy(chunk->data, data, chunk->length);
      data += chunk->length;
      length -= chunk->length;
      chunk->last = (last && length == 0) ? 1 : 0;
      engine_.deliver(std::move(chunk));
    } while (length > 0);
    return true;
  }
  void close() override { engine_.close(false); }
  bool isOpen() const override { return !engine_.ended(); }

 private:
  void run() {
    plat::Handle pipe = plat::kInvalidHandle;
    if (plat::pipeAccept(listener_, &pipe, 10000) != 0) {
      plat::pipeAbandon(listener_);
    } else {
      // The session lives as long as the hub; the service holds it by a
      // non-owning pointer.
      service_ = factory_(std::shared_ptr<devsim::ServiceChannel>(this, [](auto*) {}));
      engine_.ioLoop(pipe, this);
      if (service_) service_->onClosed();
      service_.reset();
    }
    hub_->sessionEnded();
  }

  FakeHub* hub_;
  const HwId hwid_;
  const uint8_t protocolId_;
  plat::Handle listener_;
  devsim::ServiceFactory factory_;
  std::unique_ptr<devsim::Service> service_;  // used on the session thread only
  TrIfTranCommon engine_;
  std::thread thread_;
};

FakeHub::FakeHub() : server_(this) { started_ = server_.start() == 0; }

FakeHub::~FakeHub() {
  server_.stop();
  std::vector<std::unique_ptr<Session>> sessions;
  {
    plat::LockGuard lock(mutex_);
    sessions.swap(sessions_);
  }
  for (auto& s : sessions) s->end();
  sessions.clear();
}

void FakeHub::addDevice(const HwId& hwid, devsim::ServiceFactory service) {
  plat::LockGuard lock(mutex_);
  devices_.emplace_back(hwid, std::move(service));
}

void FakeHub::removeDevice(const HwId& hwid) {
  plat::LockGuard lock(mutex_);
  std::erase_if(devices_, [&](const auto& d) { return d.first == hwid; });
  for (auto& s : sessions_)
    if (s->hwid() == hwid) s->end();
}

void FakeHub::setOpenResult(uint16_t result) {
  plat::LockGuard lock(mutex_);
  openResult_ = result;
}

void FakeHub::setNameWithoutPipe(bool on) {
  plat::LockGuard lock(mutex_);
  nameWithoutPipe_ = on;
}

void FakeHub::setChooser(uint16_t result, const HwId& chosen) {
  plat::LockGuard lock(mutex_);
  chooserResult_ = result;
  chosen_ = chosen;
}

size_t FakeHub::channelsOpened() const {
  plat::LockGuard lock(mutex_);
  return opened_;
}

size_t FakeHub::channelsEnded() const {
  plat::LockGuard lock(mutex_);
  return ended_;
}

bool FakeHub::waitChannelsEnded(size_t count, int ms) const {
  plat::UniqueLock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(ms),
                      [&]() REQUIRES(mutex_) { return ended_ >= count; });
}

void FakeHub::sessionEnded() {
  {
    plat::LockGuard lock(mutex_);
    ++ended_;
  }
  cv_.notify_all();
}

uint16_t FakeHub::GetOnlineDevices(ConnectionServerCall& call, uint64_t cookie) {
  std::vector<HwId> ids;
  {
    plat::LockGuard lock(mutex_);
    for (const auto& d : devices_) ids.push_back(d.first);
  }
  return call.onlineDevicesCallback(cookie, ids.data(), ids.size()) == 0 ? 0 : 4;
}

uint16_t FakeHub::AskUserDeviceSelection(ConnectionServerCall&, HwId* hwid, uint64_t) {
  plat::LockGuard lock(mutex_);
  if (chooserResult_ == 0) *hwid = chosen_;
  return chooserResult_;
}

uint16_t FakeHub::OpenChannel(ConnectionServerCall&, const HwId& hwid, uint8_t protocolId, int16_t,
                              std::string* pipeName) {
  plat::LockGuard lock(mutex_);
  if (openResult_ != 0) return openResult_;
  auto device = std::find_if(devices_.begin(), devices_.end(),
                             [&](const auto& d) { return d.first == hwid; });
  if (device == devices_.end()) return 2;
  const size_t number = ++opened_;
  *pipeName = "\\\\.\\pipe\\zamoconnectionserver_\\fake" + std::to_string(number);
  if (nameWithoutPipe_) return 0;
  plat::Handle listener = plat::kInvalidHandle;
  if (plat::pipeListen(*pipeName, &listener) != 0) return 1;
  sessions_.push_back(std::make_unique<Session>(this, hwid, protocolId, listener, device->second));
  sessions_.back()->start();
  return 0;
}

}  // namespace devmgr_test
