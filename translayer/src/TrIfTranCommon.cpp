#include "translayer/TrIfTranCommon.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <optional>
#include <thread>

#include "plat/errors.h"
#include "plat/msgpipe.h"
#include "plat/poll.h"
#include "plat/threadsafety.h"
#include "plat/trace.h"
#include "plat/wake.h"

namespace translayer {

namespace {

// Records read, and written, per turn of the loop before it looks at the
// other direction and its wake-ups again, so that neither a peer nor a
// producer that never pauses can starve the rest.
constexpr int kReadBurst = 64;
constexpr int kWriteBurst = 64;
// Records moved per system call, within the bursts.
constexpr size_t kReadBatch = 16;
constexpr size_t kWriteBatch = 16;

using Chunk = std::shared_ptr<TrIfTranPayload>;
using Clock = std::chrono::steady_clock;

}  // namespace

struct TrIfTranCommon::Impl {
  enum class State { kIdle, kLooping, kEnded };
  // How the loop sleeps: only a sleeping loop is woken, and only by what it
  // waits for, so that a busy loop costs its producers no system call.
  enum class Sleep { kAwake, kForChunks, kForRoom };

  // Exists from construction, so that a deliver or close made before the
  // loop starts is seen by it.
  plat::WakeEvent wake;

  plat::Mutex queueMutex;
  std::deque<Chunk> queue GUARDED_BY(queueMutex);     // oldest at the front
  std::thread::id loopThread GUARDED_BY(queueMutex);  // set while looping
  bool roomWanted GUARDED_BY(queueMutex) = false;     // hasRoom() said no
  Sleep sleep GUARDED_BY(queueMutex) = Sleep::kAwake;
  std::atomic<int> stallMs{0};
  std::atomic<bool> ended{false};

  mutable plat::Mutex stopMutex;
  plat::CondVar endedCv;
  std::atomic<bool> stop{false};  // written under stopMutex; the loop reads it without
  State state GUARDED_BY(stopMutex) = State::kIdle;

  // Moves chunks from the queue's front to `out` until it holds `limit`.
  void takeChunks(std::deque<Chunk>* out, size_t limit) {
    if (out->size() >= limit) return;
    plat::LockGuard lock(queueMutex);
    while (out->size() < limit && !queue.empty()) {
      out->push_back(std::move(queue.front()));
      queue.pop_front();
    }
  }
  // Decides, with the queue lock that deliver() takes, how the loop is about
  // to sleep: a chunk queued after this wakes it, none queued before is
  // missed. True when there is more to write (it then waits for room).
  bool goToSleep(bool writing) {
    plat::LockGuard lock(queueMutex);
    const bool more = writing || !queue.empty();
    sleep = more ? Sleep::kForRoom : Sleep::kForChunks;
    return more;
  }
  void wakeUp() {
    plat::LockGuard lock(queueMutex);
    sleep = Sleep::kAwake;
  }
  // At the bound, or still refusing since then (until half has gone).
  bool overBound() {
    plat::LockGuard lock(queueMutex);
    return roomWanted || queue.size() >= kBacklogChunks;
  }
  // True once when the backlog has shrunk enough after a refused hasRoom().
  bool takeRoomAgain() {
    plat::LockGuard lock(queueMutex);
    if (!roomWanted || queue.size() > kBacklogChunks / 2) return false;
    roomWanted = false;
    return true;
  }
  bool onLoopThread() {
    plat::LockGuard lock(queueMutex);
    return loopThread == std::this_thread::get_id();
  }
};

TrIfTranCommon::TrIfTranCommon() : impl_(std::make_unique<Impl>()) {}

TrIfTranCommon::~TrIfTranCommon() = default;

bool TrIfTranCommon::deliver(std::shared_ptr<TrIfTranPayload> chunk) {
  // Once the channel is asked to end, what is queued is all that goes out.
  if (!chunk || impl_->stop.load() || impl_->ended.load(std::memory_order_acquire)) return true;
  bool wakeLoop = false;
  {
    plat::LockGuard lock(impl_->queueMutex);
    impl_->queue.push_back(std::move(chunk));
    // The loop takes everything queued before it sleeps again, so one set
    // per sleep is enough, and a loop that is awake (the loop thread itself
    // delivering included) needs none. One that waits for room in the pipe
    // is woken when the backlog reaches its bound, to time a peer that
    // stopped reading.
    using Sleep = Impl::Sleep;
    if (impl_->sleep == Sleep::kForChunks ||
        (impl_->sleep == Sleep::kForRoom && impl_->queue.size() == kBacklogChunks)) {
      impl_->sleep = Sleep::kAwake;
      wakeLoop = true;
    }
  }
  if (wakeLoop) impl_->wake.set();
  return true;
}

void TrIfTranCommon::close(bool wait) {
  {
    plat::LockGuard lock(impl_->stopMutex);
    impl_->stop = true;
  }
  impl_->wake.set();
  if (!wait || impl_->onLoopThread()) return;
  // A connected engine is about to loop if it does not yet: wait for that
  // loop to end. One that never connected has no loop to wait for.
  plat::UniqueLock lock(impl_->stopMutex);
  impl_->endedCv.wait(lock, [this]() REQUIRES(impl_->stopMutex) {
    return impl_->state == Impl::State::kEnded ||
           (impl_->state == Impl::State::kIdle && notConnected.load() != 0);
  });
}

bool TrIfTranCommon::hasRoom() {
  plat::LockGuard lock(impl_->queueMutex);
  if (impl_->queue.size() < kBacklogChunks) return true;
  impl_->roomWanted = true;
  return false;
}

void TrIfTranCommon::setStallLimit(int ms) { impl_->stallMs = ms < 0 ? 0 : ms; }

bool TrIfTranCommon::stopRequested() const { return impl_->stop.load(); }

bool TrIfTranCommon::ended() const { return impl_->ended.load(std::memory_order_acquire); }

int TrIfTranCommon::waitForPeer(plat::Handle listener, plat::Handle* pipe, int timeoutMs) {
  constexpr int kAborted = plat::kErrorConnectionAborted;
  *pipe = plat::kInvalidHandle;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  while (true) {
    if (impl_->stop.load()) {
      plat::pipeAbandon(listener);
      return kAborted;
    }
    int waitMs = -1;
    if (timeoutMs >= 0) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return plat::kErrorWaitTimeout;
      waitMs = int(left);
    }
    plat::PollItem items[2] = {{listener, plat::kPollRead, 0},
                               {impl_->wake.handle(), plat::kPollRead, 0}};
    if (plat::pollHandles(items, 2, waitMs) < 0) {
      int rc = plat::lastSystemError();
      plat::pipeAbandon(listener);
      return rc;
    }
    // A wake-up from a deliver is only a hint: the loop writes what is queued
    // when it starts.
    if (items[1].ready) impl_->wake.consume();
    if (items[0].ready) {
      int rc = plat::pipeAccept(listener, pipe, 0);
      if (rc == 0) return 0;
      if (rc != plat::kErrorWaitTimeout) {  // a refused stranger shows as a time-out: wait on
        plat::pipeAbandon(listener);
        return rc;
      }
    }
  }
}

void TrIfTranCommon::ioLoop(plat::Handle pipe, TrIfTranRemote* receiver) {
  Impl& m = *impl_;
  bool stopping;
  {
    plat::LockGuard lock(m.stopMutex);
    if (m.state != Impl::State::kIdle) {
      plat::closeHandle(pipe);
      if (receiver) receiver->close(false);
      return;
    }
    m.state = Impl::State::kLooping;
    stopping = m.stop;
  }
  {
    plat::LockGuard lock(m.queueMutex);
    m.loopThread = std::this_thread::get_id();
  }

  const char* why = "closed by this side";  // for the trace
  // The next reads' chunks, each made when the last one there was handed on.
  Chunk readChunks[kReadBatch];
  // Taken from the queue, not yet taken by the pipe; the oldest first.
  std::deque<Chunk> writing;
  Clock::time_point drainDeadline = Clock::now() + std::chrono::milliseconds(kDrainMs);
  // A peer that reads nothing while the backlog is over its bound: since
  // when (the later of the last write and the backlog reaching the bound).
  Clock::time_point lastWrite = Clock::now();
  std::optional<Clock::time_point> overSince;
  // From the stop request on, nothing more is handed on and what is queued
  // has kDrainMs to go out.
  auto noticeStop = [&] {
    if (!stopping && m.stop.load()) {
      stopping = true;
      drainDeadline = Clock::now() + std::chrono::milliseconds(kDrainMs);
    }
  };

  // Reads the records that are there. False ends the channel.
  auto readRecords = [&]() -> bool {
    for (int taken = 0; taken < kReadBurst;) {
      plat::PipeRecord records[kReadBatch];
      const size_t batch = std::min(kReadBatch, size_t(kReadBurst - taken));
      for (size_t i = 0; i < batch; ++i) {
        if (!readChunks[i]) readChunks[i] = std::make_shared<TrIfTranPayload>();
        records[i].data = readChunks[i]->record();
        records[i].capacity = kPipeRecordMax;
      }
      size_t n = 0;
      const plat::PipeIo io = plat::pipeReadMany(pipe, records, batch, &n);
      taken += int(n);
      for (size_t i = 0; i < n; ++i) {
        // Once the owner asked to end, what arrives is no longer handed on.
        if (stopping || !receiver) continue;
        readChunks[i]->length = uint16_t(records[i].length - 1);
        if (!receiver->deliver(std::move(readChunks[i]))) {
          why = "the receiver refused a chunk";
          return false;
        }
        noticeStop();  // the receiver may have asked to end
      }
      switch (io) {
        case plat::PipeIo::kWouldBlock:
          return true;
        case plat::PipeIo::kDone:
          if (n < batch) return true;  // nothing more there: no second look
          break;
        case plat::PipeIo::kClosed:
          why = "the peer closed its end";
          return false;
        case plat::PipeIo::kTooLong:
          why = "a record over 1025 bytes arrived";
          return false;
        default:
          why = "a read failed";
          return false;
      }
    }
    return true;
  };

  // Writes queued chunks in order until the pipe is full, nothing is left or
  // the burst is done. False ends the channel.
  auto writeRecords = [&]() -> bool {
    for (int sent = 0; sent < kWriteBurst;) {
      m.takeChunks(&writing, std::min(kWriteBatch, size_t(kWriteBurst - sent)));
      if (writing.empty()) return true;
      plat::PipeRecord records[kWriteBatch];
      size_t batch = 0;
      for (const Chunk& chunk : writing) {
        // A chunk claiming more than it holds would send memory past its end.
        if (chunk->length > kChunkData) break;
        records[batch].data = chunk->record();
        records[batch].capacity = chunk->recordLength();
        if (++batch == kWriteBatch) break;
      }
      if (batch == 0) {
        why = "a chunk claims more than 1024 bytes";
        return false;
      }
      size_t n = 0;
      const plat::PipeIo io = plat::pipeWriteMany(pipe, records, batch, &n);
      if (n > 0) {
        writing.erase(writing.begin(), writing.begin() + long(n));
        sent += int(n);
        lastWrite = Clock::now();
      }
      switch (io) {
        case plat::PipeIo::kWouldBlock:
          return true;
        case plat::PipeIo::kDone:
          if (n < batch) return true;  // the pipe is full
          break;
        case plat::PipeIo::kClosed:
          why = "the peer closed its end";
          return false;
        default:
          why = "a write failed";
          return false;
      }
    }
    return true;
  };

  if (m.wake.valid() && pipe != plat::kInvalidHandle) {
    while (true) {
      if (!writeRecords()) break;
      if (receiver && m.takeRoomAgain()) receiver->roomAgain();
      // A write in progress, or chunks left after the burst: wait for room.
      const bool moreToWrite = m.goToSleep(!writing.empty());
      if (stopping && !moreToWrite) break;

      int timeoutMs = -1;
      const int stallMs = m.stallMs.load();
      if (stallMs > 0 && !stopping && m.overBound()) {
        if (!overSince) overSince = Clock::now();
        const auto deadline = std::max(lastWrite, *overSince) + std::chrono::milliseconds(stallMs);
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
          why = "the peer read nothing for the stall limit";
          break;
        }
        timeoutMs = int(left.count());
      } else {
        overSince.reset();
      }
      if (stopping) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(drainDeadline - Clock::now());
        if (left.count() <= 0) {
          why = "closed by this side; chunks left unsent";
          break;
        }
        timeoutMs = int(left.count());
      }
      plat::PollItem items[2] = {
          {pipe, plat::kPollRead | (moreToWrite ? plat::kPollWrite : 0u), 0},
          {m.wake.handle(), plat::kPollRead, 0},
      };
      const int polled = plat::pollHandles(items, 2, timeoutMs);
      m.wakeUp();
      if (polled < 0) {
        why = "waiting failed";
        break;
      }

      // Priorities: what was read, then the wake-up; what can be written goes
      // out at the top of every turn, whatever woke the loop.
      if ((items[0].ready & (plat::kPollRead | plat::kPollHangup | plat::kPollError)) &&
          !readRecords())
        break;
      if (items[1].ready) {
        m.wake.consume();
        noticeStop();
      }
    }
  }

  if (pipe != plat::kInvalidHandle) VLN_TRACE(kPipes, "pipe %d ended: %s", int(pipe), why);
  plat::closeHandle(pipe);
  // Still marked as the loop thread here, so that a receiver's close that
  // calls close(true) on this engine does not wait for itself.
  if (receiver) receiver->close(false);
  m.ended.store(true, std::memory_order_release);
  {
    plat::LockGuard lock(m.stopMutex);
    m.state = Impl::State::kEnded;
  }
  m.endedCv.notify_all();
  // Nothing more will be written; release what is left.
  std::deque<Chunk> dropped;
  {
    plat::LockGuard lock(m.queueMutex);
    m.loopThread = std::thread::id();
    dropped.swap(m.queue);
  }
}

}  // namespace translayer
