#include "devsim/Device.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "linkproto/LinkProtocol.h"
#include "plat/thread.h"
#include "plat/threadsafety.h"

namespace devsim {

using namespace linkproto;

struct Device::Impl : std::enable_shared_from_this<Device::Impl> {
  struct OutFragment {
    std::vector<uint8_t> data;
    bool last = false;
    bool close = false;  // the 2-byte close frame
  };
  struct ServiceHolder {
    std::unique_ptr<Service> service;
  };
  struct HeldFragment {
    std::vector<uint8_t> data;
    bool last = false;
  };
  struct Slot {
    bool open = false;
    uint8_t protocolId = 0;
    uint64_t generation = 0;  // bumped on every open and close
    std::deque<OutFragment> out;
    std::shared_ptr<ServiceHolder> holder;
    std::deque<HeldFragment> held;  // data for a stalled service
  };
  // A U answer (its bytes) or an S frame, numbered when it is sent.
  struct Control {
    std::vector<uint8_t> uFrame;
    uint8_t sType = 0;
    bool pf = false;
  };

  class Port : public ServiceChannel {
   public:
    Port(std::weak_ptr<Impl> device, uint8_t channel, uint8_t protocolId, uint64_t generation)
        : device_(std::move(device)),
          channel_(channel),
          protocolId_(protocolId),
          generation_(generation) {}
    uint8_t channel() const override { return channel_; }
    uint8_t protocolId() const override { return protocolId_; }
    bool send(const uint8_t* data, size_t length, bool last) override {
      auto d = device_.lock();
      return d && d->queueData(channel_, generation_, data, length, last);
    }
    void close() override {
      if (auto d = device_.lock()) d->closeFromDevice(channel_, generation_);
    }
    bool isOpen() const override {
      auto d = device_.lock();
      return d && d->isCurrent(channel_, generation_);
    }

   private:
    std::weak_ptr<Impl> device_;
    uint8_t channel_;
    uint8_t protocolId_;
    uint64_t generation_;
  };

  Impl(const DeviceConfig& c, FrameTransport* t) : config(c), transport(t) {}

  const DeviceConfig config;
  FrameTransport* const transport;

  mutable plat::Mutex mutex;
  plat::CondVar cv;
  // Everything below is guarded by mutex.
  std::thread thread GUARDED_BY(mutex);
  bool running GUARDED_BY(mutex) = false;
  bool stopping GUARDED_BY(mutex) = false;
  bool work GUARDED_BY(mutex) = false;  // data queued or a knob turned
  // The driven mode: who to wake, whether a wake is on its way (one is
  // enough until the next drive), the driving thread (it needs no wake) and
  // the frames made but not yet taken.
  bool driven GUARDED_BY(mutex) = false;
  std::function<void()> driverWake GUARDED_BY(mutex);
  bool wakeSent GUARDED_BY(mutex) = false;
  std::thread::id driver GUARDED_BY(mutex);
  std::deque<std::vector<uint8_t>> outbox GUARDED_BY(mutex);
  std::deque<std::vector<uint8_t>> inbox GUARDED_BY(mutex);
  std::map<uint8_t, ServiceFactory> factories GUARDED_BY(mutex);
  std::set<uint8_t> stalled GUARDED_BY(mutex);
  bool busyKnob GUARDED_BY(mutex) = false;
  bool busyAnnounced GUARDED_BY(mutex) = false;  // a busy S frame went out and no ready since
  size_t heldBytes GUARDED_BY(mutex) = 0;
  Slot slots[kChannels] GUARDED_BY(mutex);
  uint8_t lastServed GUARDED_BY(mutex) = kChannels - 1;
  std::vector<uint8_t> store[8] GUARDED_BY(mutex);
  bool sentBefore[8] GUARDED_BY(mutex) = {};
  uint8_t vs GUARDED_BY(mutex) = 0, vr GUARDED_BY(mutex) = 0, cursor GUARDED_BY(mutex) = 0;
  // base: oldest unacknowledged frame; floor: oldest N(R) a frame still on
  // its way may carry (see SessionLayer for the reasoning).
  uint8_t base GUARDED_BY(mutex) = 0, floor GUARDED_BY(mutex) = 0;
  bool rejectSent GUARDED_BY(mutex) = false;
  // The N(R) of the last S or I frame made: frames numbered from it up to
  // vr are taken and not yet acknowledged.
  uint8_t sentNr GUARDED_BY(mutex) = 0;
  // At the last poll: the base after its N(R), and the cursor (what had gone
  // before its answer).
  uint8_t pollBase GUARDED_BY(mutex) = 0, pollSent GUARDED_BY(mutex) = 0;
  bool peerBusy GUARDED_BY(mutex) = false;
  bool solicited GUARDED_BY(mutex) = false;  // a repeat went out to get the host's acknowledgement
  std::deque<Control> control GUARDED_BY(mutex);
  std::deque<std::function<void()>> calls GUARDED_BY(mutex);  // service calls, run without the lock
  DeviceStats stats GUARDED_BY(mutex);

  // ---- thread ----

  void run() {
    plat::setCurrentThreadName("devsim");
    plat::UniqueLock lock(mutex);
    for (;;) {
      cv.wait(lock, [this]() REQUIRES(mutex) {
        return stopping || work || !inbox.empty() || !calls.empty();
      });
      if (stopping) break;
      work = false;
      // Service calls run before frames are made, so that the replies they
      // queue carry the acknowledgement instead of a ready of its own.
      for (;;) {
        std::deque<std::function<void()>> todo = takeInput();
        if (todo.empty()) break;
        lock.unlock();
        for (auto& call : todo) call();
        lock.lock();
        if (stopping) break;
      }
      if (stopping) break;
      std::deque<std::vector<uint8_t>> out;
      pump(out);
      stats.framesOut += out.size();
      lock.unlock();
      for (auto& f : out) transport->sendFrame(f.data(), f.size());
      lock.lock();
    }
    std::deque<std::function<void()>> todo = closeAll();
    lock.unlock();
    for (auto& call : todo) call();
  }

  // The calls that end every open service.
  std::deque<std::function<void()>> closeAll() REQUIRES(mutex) {
    for (int c = 0; c < kChannels; ++c)
      if (slots[c].open) closeSlot(uint8_t(c));
    std::deque<std::function<void()>> todo;
    todo.swap(calls);
    return todo;
  }

  void wake() REQUIRES(mutex) {
    work = true;
    if (driven)
      wakeDriver();
    else
      cv.notify_one();
  }

  // The driving thread finds the work when it returns to its loop; any other
  // thread has to wake it.
  void wakeDriver() REQUIRES(mutex) {
    if (wakeSent || std::this_thread::get_id() == driver) return;
    wakeSent = true;
    if (driverWake) driverWake();
  }

  // ---- driven ----

  void drive() {
    plat::UniqueLock lock(mutex);
    if (!running || !driven) return;
    driver = std::this_thread::get_id();
    for (;;) {
      wakeSent = false;
      work = false;
      std::deque<std::function<void()>> todo = takeInput();
      if (todo.empty()) return;
      lock.unlock();
      for (auto& call : todo) call();
      lock.lock();
      if (!running) return;
    }
  }

  // Takes the frames that came in; returns the service calls they made, to
  // be run without the lock.
  std::deque<std::function<void()>> takeInput() REQUIRES(mutex) {
    while (!inbox.empty()) {
      std::vector<uint8_t> frame = std::move(inbox.front());
      inbox.pop_front();
      handleFrame(frame);
    }
    releaseUnstalled();
    if (!busy() && busyAnnounced) {
      control.push_back(Control{{}, kSReady, false});
      busyAnnounced = false;
    }
    std::deque<std::function<void()>> todo;
    todo.swap(calls);
    return todo;
  }

  bool takeFrame(std::vector<uint8_t>* frame) {
    plat::LockGuard lock(mutex);
    if (!running || !driven) return false;
    // Made only when the last ones are taken: a driver that stops taking
    // holds the device back, and each frame carries the newest N(R).
    if (outbox.empty()) {
      pump(outbox);
      stats.framesOut += outbox.size();
    }
    if (outbox.empty()) return false;
    *frame = std::move(outbox.front());
    outbox.pop_front();
    return true;
  }

  bool busy() const REQUIRES(mutex) { return busyKnob || heldBytes > config.stallBusyBytes; }

  // ---- receive ----

  void handleFrame(const std::vector<uint8_t>& f) REQUIRES(mutex) {
    ++stats.framesIn;
    solicited = false;
    if (f.empty()) return;
    const uint8_t c = f[0];
    if (isUFrame(c)) {
      if (f.size() == 1) handleU(uFrameCode(c));
    } else if (isSFrame(c)) {
      if (f.size() == 1) handleS(c);
    } else if (f.size() >= 2) {
      handleI(f);
    }
  }

  void handleU(uint8_t code) REQUIRES(mutex) {
    switch (code) {
      case kResetRequest:
        ++stats.linkResets;
        resetLink();
        control.push_back(Control{{kResetAnswer}, 0, false});
        break;
      case kParamRequest:
        control.push_back(
            Control{paramAnswer(LinkParams{uint16_t(config.maxFrameLength & kMaxFrameMask),
                                           uint16_t(config.channelCount & kChannelCountMask)}),
                    0, false});
        break;
      case kIdentityRequest: {
        std::vector<uint8_t> answer{kIdentityAnswer};
        answer.insert(answer.end(), config.hwid.id, config.hwid.id + 16);
        control.push_back(Control{std::move(answer), 0, false});
        break;
      }
      default:
        break;
    }
  }

  enum class NrKind { kValid, kStale, kInvalid };

  NrKind classify(uint8_t nr) const REQUIRES(mutex) {
    if (seqDistance(base, nr) <= seqDistance(base, vs)) return NrKind::kValid;
    const uint8_t behind = seqDistance(nr, base);
    if (behind >= 1 && behind <= seqDistance(floor, base)) return NrKind::kStale;
    return NrKind::kInvalid;
  }

  // Classifies a received N(R), takes it when valid, and ages the floor.
  bool takeNr(uint8_t nr) REQUIRES(mutex) {
    const NrKind kind = classify(nr);
    floor = base;
    if (kind == NrKind::kStale) ++stats.staleAcks;
    if (kind == NrKind::kInvalid) ++stats.badAcks;
    if (kind != NrKind::kValid) return false;
    base = nr;
    return true;
  }

  void handleS(uint8_t c) REQUIRES(mutex) {
    const uint8_t nr = frameNr(c);
    const uint8_t type = sFrameType(c);
    const bool pf = hasPf(c);
    const bool valid = takeNr(nr);
    if (valid) {
      if (type == kSReady || type == kSReject) {
        peerBusy = false;
        // A plain ready only acknowledges; a reject sends everything from
        // N(R) again.
        if (type == kSReject) cursor = nr;
      } else if (type == kSBusy) {
        peerBusy = true;
      }
    }
    if (pf) answerPoll(valid);
  }

  // A poll tells what the host had when it polled, not what is still on its
  // way: a full window polls every time the host has sent seven, and going
  // back then sent the whole window twice. A frame counts as lost only when
  // a poll acknowledges nothing since the previous one although frames went
  // before that one's answer: they had time to arrive, or that answer was
  // lost and the host polls again.
  void checkPoll(bool validNr) REQUIRES(mutex) {
    if (!validNr) return;
    const uint8_t missing = seqDistance(base, pollSent);
    if (base == pollBase && missing > 0 && missing <= seqDistance(base, vs)) cursor = base;
    pollBase = base;
    pollSent = cursor;
  }

  void answerPoll(bool validNr) REQUIRES(mutex) {
    checkPoll(validNr);
    ++stats.pollsAnswered;
    uint8_t type = kSReady;
    if (busy()) {
      type = kSBusy;
      busyAnnounced = true;
    } else if (rejectSent) {
      type = kSReject;
    }
    control.push_back(Control{{}, type, true});
  }

  void handleI(const std::vector<uint8_t>& f) REQUIRES(mutex) {
    const uint8_t c = f[0];
    const uint8_t ns = frameNs(c);
    const bool pf = hasPf(c);
    const bool validNr = takeNr(frameNr(c));
    // Frames taken since the last N(R) sent come again when the host went
    // back before that N(R) reached it: no gap, and nothing to answer (a
    // ready would send the host back once more).
    const bool taken = ns == seqAdd(vr, -1) || seqDistance(sentNr, ns) < seqDistance(sentNr, vr);
    if (busy()) {
      // Nothing is taken; the host hears once, and again when it polls.
      if (ns == vr) {
        ++stats.busyRefused;
        if (!busyAnnounced) {
          control.push_back(Control{{}, kSBusy, false});
          busyAnnounced = true;
        }
      }
    } else if (ns == vr) {
      vr = seqAdd(vr, 1);
      rejectSent = false;
      ++stats.dataFramesIn;
      takePayload(f);
    } else if (taken) {
      ++stats.duplicates;
    } else if (!rejectSent) {
      control.push_back(Control{{}, kSReject, false});
      rejectSent = true;
      ++stats.rejectsSent;
    }
    if (pf) answerPoll(validNr);
  }

  void takePayload(const std::vector<uint8_t>& f) REQUIRES(mutex) {
    const uint8_t cb = f[1];
    if (cb >= kChannelByteLimit) return;
    const uint8_t ch = channelOf(cb);
    const bool last = isLastFragment(cb);
    if (ch >= config.channelCount) return;
    Slot& s = slots[ch];
    const uint8_t* data = f.data() + kIHeaderLength;
    size_t n = f.size() - kIHeaderLength;
    if (isFirstFragment(cb)) {
      if (n < 1) return;
      const uint8_t pid = data[0];
      ++data;
      --n;
      // The host opens afresh: whatever it had here before is gone.
      if (s.open) closeSlot(ch);
      if (!openSlot(ch, pid)) return;
    } else if (n == 0 && !last) {
      if (s.open) {
        closeSlot(ch);
        s.out.clear();
        s.out.push_back(OutFragment{{}, false, true});
      }
      return;
    }
    if (!s.open) return;  // data for a channel we do not have open
    if (stalled.count(s.protocolId)) {
      s.held.push_back(HeldFragment{std::vector<uint8_t>(data, data + n), last});
      heldBytes += n;
      return;
    }
    calls.push_back([holder = s.holder, v = std::vector<uint8_t>(data, data + n), last] {
      if (holder->service) holder->service->onData(v.data(), v.size(), last);
    });
  }

  // ---- channels ----

  bool openSlot(uint8_t ch, uint8_t pid) REQUIRES(mutex) {
    Slot& s = slots[ch];
    auto it = factories.find(pid);
    if (it == factories.end()) {
      ++stats.channelsRefused;
      s.out.clear();
      s.out.push_back(OutFragment{{}, false, true});
      return false;
    }
    ++stats.channelsOpened;
    s.open = true;
    s.protocolId = pid;
    ++s.generation;
    s.holder = std::make_shared<ServiceHolder>();
    s.out.clear();
    auto port = std::make_shared<Port>(weak_from_this(), ch, pid, s.generation);
    calls.push_back([holder = s.holder, factory = it->second, port] {
      holder->service = factory(port);
      if (!holder->service) port->close();
    });
    return true;
  }

  void closeSlot(uint8_t ch) REQUIRES(mutex) {
    Slot& s = slots[ch];
    s.open = false;
    ++s.generation;
    for (const HeldFragment& h : s.held) heldBytes -= h.data.size();
    s.held.clear();
    if (s.holder) {
      calls.push_back([holder = std::move(s.holder)] {
        if (holder->service) {
          holder->service->onClosed();
          holder->service.reset();
        }
      });
    }
  }

  bool isCurrent(uint8_t ch, uint64_t generation) const {
    plat::LockGuard lock(mutex);
    return slots[ch].open && slots[ch].generation == generation;
  }

  bool queueData(uint8_t ch, uint64_t generation, const uint8_t* data, size_t length, bool last) {
    plat::LockGuard lock(mutex);
    Slot& s = slots[ch];
    if (!s.open || s.generation != generation) return false;
    if (length == 0 && !last) return true;
    queueFragments(s, data, length, last);
    wake();
    return true;
  }

  // Cut to the frame length, behind what the slot already has queued.
  void queueFragments(Slot& s, const uint8_t* data, size_t length, bool last) REQUIRES(mutex) {
    const size_t room = config.maxFrameLength > 3 ? size_t(config.maxFrameLength) - 2 : 1;
    size_t offset = 0;
    do {
      const size_t n = std::min(room, length - offset);
      s.out.push_back(OutFragment{std::vector<uint8_t>(data + offset, data + offset + n),
                                  last && offset + n == length, false});
      offset += n;
    } while (offset < length);
  }

  void closeFromDevice(uint8_t ch, uint64_t generation) {
    plat::LockGuard lock(mutex);
    Slot& s = slots[ch];
    if (!s.open || (generation != 0 && s.generation != generation)) return;
    closeSlot(ch);
    s.out.push_back(OutFragment{{}, false, true});  // after the data already queued
    wake();
  }

  void releaseUnstalled() REQUIRES(mutex) {
    for (Slot& s : slots) {
      if (s.held.empty() || !s.open || stalled.count(s.protocolId)) continue;
      for (HeldFragment& h : s.held) {
        heldBytes -= h.data.size();
        calls.push_back([holder = s.holder, v = std::move(h.data), last = h.last] {
          if (holder->service) holder->service->onData(v.data(), v.size(), last);
        });
      }
      s.held.clear();
    }
  }

  void resetLink() REQUIRES(mutex) {
    for (int c = 0; c < kChannels; ++c) {
      if (slots[c].open) closeSlot(uint8_t(c));
      slots[c].out.clear();
    }
    solicited = false;
    for (auto& slot : store) slot.clear();
    std::fill(std::begin(sentBefore), std::end(sentBefore), false);
    vs = vr = cursor = base = floor = 0;
    sentNr = pollBase = pollSent = 0;
    lastServed = kChannels - 1;
    rejectSent = false;
    peerBusy = false;
    busyAnnounced = false;
    // S frames numbered for the old link are void; U answers still go.
    std::deque<Control> keep;
    for (Control& c : control)
      if (!c.uFrame.empty()) keep.push_back(std::move(c));
    control.swap(keep);
  }

  // ---- transmit ----

  bool anyQueued() const REQUIRES(mutex) {
    for (const Slot& s : slots)
      if (!s.out.empty()) return true;
    return false;
  }

  void pump(std::deque<std::vector<uint8_t>>& out) REQUIRES(mutex) {
    bool nrGoes = false;
    for (const Control& c : control) {
      if (!c.uFrame.empty()) {
        out.push_back(c.uFrame);
      } else {
        out.push_back({sControl(c.sType, vr, c.pf)});
        nrGoes = true;
        if (c.sType == kSReject && c.pf) ++stats.rejectsSent;
      }
    }
    control.clear();
    if (!peerBusy) nrGoes |= pumpData(out);
    if (!nrGoes && seqDistance(sentNr, vr) >= kAckAfterFrames) {
      out.push_back({sControl(kSReady, vr, false)});
      ++stats.readySent;
      nrGoes = true;
    }
    if (nrGoes) sentNr = vr;
  }

  // Makes the I frames the window allows; true when any went.
  bool pumpData(std::deque<std::vector<uint8_t>>& out) REQUIRES(mutex) {
    const size_t before = out.size();
    for (;;) {
      if (cursor != vs) {
        std::vector<uint8_t> frame = store[cursor];
        frame[0] = iControlWithNr(frame[0], vr, false);
        if (sentBefore[cursor]) ++stats.resent;
        sentBefore[cursor] = true;
        ++stats.dataFramesOut;
        out.push_back(std::move(frame));
        cursor = seqAdd(cursor, 1);
        continue;
      }
      const uint8_t next = seqAdd(vs, 1);
      if (next == base) break;  // window full
      if (next == floor) {
        // Everything is acknowledged, but by one host frame: until another
        // arrives a late copy of an older one could not be told from a new
        // acknowledgement, so nothing new may go out. A host that has nothing
        // to send would leave us waiting for its idle poll; the last frame
        // sent again is a repeat it acknowledges at once.
        if (base == vs && !solicited && anyQueued() && !store[seqAdd(vs, -1)].empty()) {
          std::vector<uint8_t> frame = store[seqAdd(vs, -1)];
          frame[0] = iControlWithNr(frame[0], vr, false);
          ++stats.solicitations;
          out.push_back(std::move(frame));
          solicited = true;
        }
        break;
      }
      int found = -1;
      for (int i = 1; i <= kChannels; ++i) {
        const int c = (lastServed + i) % kChannels;
        if (!slots[c].out.empty()) {
          found = c;
          break;
        }
      }
      if (found < 0) break;
      lastServed = uint8_t(found);
      OutFragment frag = std::move(slots[found].out.front());
      slots[found].out.pop_front();
      std::vector<uint8_t>& slot = store[vs];
      slot.clear();
      slot.push_back(iControl(vs, 0, false));
      slot.push_back(channelByte(uint8_t(found), false, frag.last));
      slot.insert(slot.end(), frag.data.begin(), frag.data.end());
      sentBefore[vs] = false;
      vs = next;
    }
    return out.size() != before;
  }
};

Device::Device(const DeviceConfig& config, FrameTransport* transport)
    : impl_(std::make_shared<Impl>(config, transport)) {}

Device::~Device() { stop(); }

void Device::registerService(uint8_t protocolId, ServiceFactory factory) {
  plat::LockGuard lock(impl_->mutex);
  impl_->factories[protocolId] = std::move(factory);
}

void Device::start() {
  plat::LockGuard lock(impl_->mutex);
  if (impl_->running) return;
  impl_->running = true;
  impl_->stopping = false;
  impl_->driven = false;
  impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

void Device::startDriven(std::function<void()> wake) {
  plat::LockGuard lock(impl_->mutex);
  if (impl_->running) return;
  impl_->running = true;
  impl_->stopping = false;
  impl_->driven = true;
  impl_->driverWake = std::move(wake);
  impl_->wakeSent = false;
  impl_->driver = {};
  impl_->outbox.clear();
}

void Device::stop() {
  std::thread thread;
  std::deque<std::function<void()>> todo;
  {
    plat::LockGuard lock(impl_->mutex);
    if (!impl_->running) return;
    impl_->running = false;
    impl_->stopping = true;
    thread = std::move(impl_->thread);
    if (impl_->driven) {
      impl_->driven = false;
      impl_->driverWake = nullptr;
      impl_->outbox.clear();
      todo = impl_->closeAll();
    }
  }
  impl_->cv.notify_one();
  if (thread.joinable()) thread.join();
  for (auto& call : todo) call();
}

void Device::receiveFrame(const uint8_t* frame, size_t length) {
  plat::LockGuard lock(impl_->mutex);
  impl_->inbox.emplace_back(frame, frame + length);
  if (impl_->driven)
    impl_->wakeDriver();
  else
    impl_->cv.notify_one();
}

void Device::drive() { impl_->drive(); }

bool Device::takeFrame(std::vector<uint8_t>* frame) { return impl_->takeFrame(frame); }

void Device::setBusy(bool busy) {
  plat::LockGuard lock(impl_->mutex);
  impl_->busyKnob = busy;
  impl_->wake();
}

void Device::stallService(uint8_t protocolId, bool stalled) {
  plat::LockGuard lock(impl_->mutex);
  if (stalled)
    impl_->stalled.insert(protocolId);
  else
    impl_->stalled.erase(protocolId);
  impl_->wake();
}

void Device::closeChannel(uint8_t channel) {
  if (channel < kChannels) impl_->closeFromDevice(channel, 0);
}

void Device::sendStrayData(uint8_t channel) {
  if (channel >= kChannels) return;
  plat::LockGuard lock(impl_->mutex);
  impl_->slots[channel].out.push_back(Impl::OutFragment{{0x5A}, true, false});
  impl_->wake();
}

void Device::sendOnChannel(uint8_t channel, const std::vector<uint8_t>& message) {
  if (channel >= kChannels) return;
  plat::LockGuard lock(impl_->mutex);
  impl_->queueFragments(impl_->slots[channel], message.data(), message.size(), true);
  impl_->wake();
}

DeviceStats Device::stats() const {
  plat::LockGuard lock(impl_->mutex);
  return impl_->stats;
}

int Device::channelProtocol(uint8_t channel) const {
  plat::LockGuard lock(impl_->mutex);
  if (channel >= kChannels || !impl_->slots[channel].open) return -1;
  return impl_->slots[channel].protocolId;
}

}  // namespace devsim
