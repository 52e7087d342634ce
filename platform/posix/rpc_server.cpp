// The control RPC server: an acceptor thread and a pool of call threads,
// each call on its own connection.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>

#include "base/ByteReader.h"
#include "plat/errors.h"
#include "plat/handle.h"
#include "plat/rpc.h"
#include "plat/sysmsg.h"
#include "plat/thread.h"
#include "plat/threadsafety.h"
#include "plat/trace.h"
#include "rpc_wire.h"

namespace plat {

using namespace rpcwire;

// Lock order: `mutex` is the only lock; nothing is called out with it held
// except shutdown(2) on descriptors it guards.
struct RpcCall::Server {
  RpcInterface iface{};
  RpcDispatcher dispatcher;
  RpcServerOptions options;
  uint32_t allowedUid = 0;

  int listenFd = -1;
  int wakeFd = -1;  // eventfd: ends the acceptor
  std::string path;
  dev_t socketDev = 0;  // identity of our socket file, so stop() never
  ino_t socketIno = 0;  // removes a successor's
  std::thread acceptor;

  mutable plat::Mutex mutex;
  plat::CondVar workCv;     // a connection is queued, or stopping
  plat::CondVar drainedCv;  // inFlight dropped to 0
  struct Pending {
    int fd;
    ucred cred;
  };
  std::deque<Pending> pending GUARDED_BY(mutex);     // accepted, waiting for a call thread
  std::set<int> open GUARDED_BY(mutex);              // descriptors of every call in flight
  unsigned inFlight GUARDED_BY(mutex) = 0;           // pending + dispatching
  unsigned idle GUARDED_BY(mutex) = 0;               // call threads waiting for work
  std::list<std::thread> workers GUARDED_BY(mutex);  // live call threads
  std::list<std::thread> retired
      GUARDED_BY(mutex);  // threads that left; joined by the acceptor or stop()
  bool stopping GUARDED_BY(mutex) = false;
  bool started GUARDED_BY(mutex) = false;
  bool stopped GUARDED_BY(mutex) = false;

  uint32_t bindEndpoint();
  void acceptLoop();
  void admit(int fd, const ucred& cred);
  bool spawnLocked() REQUIRES(mutex);
  void workerLoop(std::list<std::thread>::iterator self);
  void serve(int fd, const ucred& cred);
  void joinRetired();
  void stop();
};

uint32_t RpcCall::callback(uint16_t number, const std::vector<uint8_t>& arguments) {
  if (broken_ || stopping()) return kRpcCallFailed;
  if (arguments.size() > kRpcFrameLimit - 3) return kRpcBadStubData;
  base::ByteWriter frame;
  frame.u8(kRpcFrameCallback).u16(number).bytes(arguments.data(), arguments.size());
  if (!writeFrame(fd_, frame.data())) {
    broken_ = true;
    return kRpcCallFailed;
  }
  std::vector<uint8_t> answer;
  ReadResult r = readFrame(fd_, &answer);
  if (r != ReadResult::kOk) {
    broken_ = true;
    return r == ReadResult::kLost ? kRpcCallFailed : kRpcBadStubData;
  }
  if (answer.size() == 1 && answer[0] == kRpcFrameCallbackDone) return 0;
  if (answer.size() == 5 && answer[0] == kRpcFrameFault && base::loadU32(&answer[1]) != 0)
    return base::loadU32(&answer[1]);
  broken_ = true;  // the client no longer speaks this protocol
  return kRpcBadStubData;
}

bool RpcCall::stopping() const {
  plat::LockGuard lock(server_->mutex);
  return server_->stopping;
}

uint32_t RpcCall::Server::bindEndpoint() {
  if (int rc = pipePath(options.endpoint, &path)) return uint32_t(rc);
  if (int rc = makeParentDirs(path)) return uint32_t(rc);
  sockaddr_un addr;
  if (!socketAddress(path, &addr)) return kErrorFilenameTooLong;
  listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd < 0) return lastSystemError();
  for (int attempt = 0;; ++attempt) {
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) break;
    if (errno != EADDRINUSE || attempt > 0) return lastSystemError();
    // A socket file is there: a live server keeps it, a dead one left it.
    int probe = connectTo(path);
    if (probe >= 0) {
      ::close(probe);
      return kRpcDuplicateEndpoint;
    }
    if (errno != ECONNREFUSED) return kRpcDuplicateEndpoint;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return kRpcDuplicateEndpoint;
    ::unlink(path.c_str());
  }
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    socketDev = st.st_dev;
    socketIno = st.st_ino;
  }
  ::chmod(path.c_str(), 0600);
  if (::listen(listenFd, SOMAXCONN) != 0) return lastSystemError();
  return 0;
}

void RpcCall::Server::acceptLoop() {
  setCurrentThreadName("RpcListener");
  pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  for (;;) {
    joinRetired();
    int r = ::poll(fds, 2, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      VLN_TRACE(kRpc, "waiting for calls failed: %s", ::strerror(errno));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (fds[1].revents) return;
    if (!fds[0].revents) continue;
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      VLN_TRACE(kRpc, "accept failed: %s", ::strerror(errno));
      // Out of descriptors or memory: back off rather than spin; the
      // connection waits in the backlog.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    ucred cred{};
    if (!peerCredentials(fd, &cred) || cred.uid != allowedUid) {
      VLN_TRACE(kRpc, "caller refused: pid %d, uid %u is not this user", int(cred.pid),
                unsigned(cred.uid));
      writeFrame(fd, faultBody(kRpcAccessDenied), MSG_DONTWAIT);
      ::close(fd);
      continue;
    }
    admit(fd, cred);
  }
}

void RpcCall::Server::admit(int fd, const ucred& cred) {
  plat::UniqueLock lock(mutex);
  if (stopping) {  // no answer: the client sees its call fail
    lock.unlock();
    ::close(fd);
    return;
  }
  bool busy = inFlight >= options.maxCalls;
  if (!busy) {
    try {
      open.insert(fd);
      pending.push_back({fd, cred});
    } catch (const std::bad_alloc&) {
      open.erase(fd);
      lock.unlock();
      ::close(fd);
      return;
    }
    ++inFlight;
    if (pending.size() > idle && workers.size() < options.maxCalls && !spawnLocked() &&
        workers.empty()) {
      // No thread to run it and none can be made.
      pending.pop_back();
      open.erase(fd);
      --inFlight;
      busy = true;
    }
  }
  if (!busy) {
    workCv.notify_one();
    return;
  }
  lock.unlock();
  VLN_TRACE(kRpc, "call of pid %d refused: server too busy", int(cred.pid));
  // The fault frame is tiny and the socket fresh: it never blocks.
  writeFrame(fd, faultBody(kRpcServerTooBusy), MSG_DONTWAIT);
  ::close(fd);
}

bool RpcCall::Server::spawnLocked() {
  try {
    workers.emplace_back();
  } catch (...) {
    return false;
  }
  // The new thread takes `mutex` before it looks at its node, so the node
  // holds its std::thread by then.
  auto self = std::prev(workers.end());
  try {
    *self = std::thread(&Server::workerLoop, this, self);
  } catch (...) {
    workers.erase(self);
    return false;
  }
  return true;
}

void RpcCall::Server::workerLoop(std::list<std::thread>::iterator self) {
  setCurrentThreadName("RpcCall");
  plat::UniqueLock lock(mutex);
  for (;;) {
    while (!stopping && pending.empty()) {
      ++idle;
      bool woke =
          workCv.wait_for(lock, std::chrono::milliseconds(std::max(options.idleRetireMs, 1)),
                          [this]() REQUIRES(mutex) { return stopping || !pending.empty(); });
      --idle;
      if (!woke && workers.size() > options.minThreads) {
        retired.splice(retired.end(), workers, self);
        return;
      }
    }
    if (stopping) return;  // stop() joins us from the workers list
    Pending p = pending.front();
    pending.pop_front();
    lock.unlock();
    serve(p.fd, p.cred);
    lock.lock();
    open.erase(p.fd);  // before close: stop() never touches a reused number
    ::close(p.fd);
    if (--inFlight == 0) drainedCv.notify_all();
  }
}

void RpcCall::Server::serve(int fd, const ucred& cred) {
  setTimeout(fd, SO_SNDTIMEO, options.sendTimeoutMs);
  setTimeout(fd, SO_RCVTIMEO, options.callFrameTimeoutMs);
  std::vector<uint8_t> frame;
  switch (readFrame(fd, &frame)) {
    case ReadResult::kLost:
      VLN_TRACE(kRpc, "pid %d: connection ended before its call arrived", int(cred.pid));
      return;
    case ReadResult::kTooLong:
      VLN_TRACE(kRpc, "pid %d: call frame over the size limit: fault %u", int(cred.pid),
                unsigned(kRpcBadStubData));
      writeFrame(fd, faultBody(kRpcBadStubData));
      return;
    case ReadResult::kOk:
      break;
  }
  uint32_t status = 0;
  if (frame.size() < kCallHeader || frame[0] != kRpcFrameCall)
    status = kRpcBadStubData;
  else if (std::memcmp(&frame[1], iface.id, 16) != 0)
    status = kRpcUnknownInterface;
  else if (base::loadU16(&frame[17]) != iface.major || base::loadU16(&frame[19]) != iface.minor)
    status = kRpcProcedureOutOfRange;
  else if (base::loadU16(&frame[21]) >= iface.procedureCount)
    status = kRpcProcedureOutOfRange;
  if (status) {
    VLN_TRACE(kRpc, "pid %d: call refused: fault %u", int(cred.pid), unsigned(status));
    writeFrame(fd, faultBody(status));
    return;
  }
  // From here the call may wait on its client's callbacks without a limit;
  // stop() cuts the connection when it must end.
  setTimeout(fd, SO_RCVTIMEO, 0);
  RpcCall call(this, fd, int(cred.pid), uint32_t(cred.uid));
  RpcResult reply;
  try {
    status = dispatcher(call, base::loadU16(&frame[21]), frame.data() + kCallHeader,
                        frame.size() - kCallHeader, &reply);
  } catch (const RpcException& e) {
    status = e.code() ? e.code() : kRpcCallFailed;
  } catch (...) {
    status = kRpcCallFailed;
  }
  if (call.broken_) {  // the connection's state is unknown: just close
    VLN_TRACE(kRpc, "pid %d: procedure %u: connection lost during the call", int(cred.pid),
              unsigned(base::loadU16(&frame[21])));
    return;
  }
  if (status == 0 && reply.outputs.size() > kRpcFrameLimit - 3) status = kRpcBadStubData;
  if (status) {
    VLN_TRACE(kRpc, "pid %d: procedure %u: fault %u", int(cred.pid),
              unsigned(base::loadU16(&frame[21])), unsigned(status));
    writeFrame(fd, faultBody(status));
    return;
  }
  base::ByteWriter out;
  out.reserve(3 + reply.outputs.size());
  out.u8(kRpcFrameReply).u16(reply.result).bytes(reply.outputs.data(), reply.outputs.size());
  writeFrame(fd, out.data());
}

void RpcCall::Server::joinRetired() {
  std::list<std::thread> done;
  {
    plat::LockGuard lock(mutex);
    done.swap(retired);
  }
  for (std::thread& t : done) t.join();
}

void RpcCall::Server::stop() {
  {
    plat::LockGuard lock(mutex);
    if (!started || stopped) return;
    stopping = true;
  }
  // 1. No new connections: the acceptor ends, the endpoint goes.
  if (wakeFd >= 0) {
    uint64_t one = 1;
    (void)!::write(wakeFd, &one, sizeof one);
  }
  if (acceptor.joinable()) acceptor.join();
  closeFd(listenFd);
  listenFd = -1;
  struct stat st;
  if (!path.empty() && ::lstat(path.c_str(), &st) == 0 && st.st_dev == socketDev &&
      st.st_ino == socketIno)
    ::unlink(path.c_str());

  std::list<std::thread> threads;
  {
    plat::UniqueLock lock(mutex);
    // 2. Queued connections get no call thread: they see the connection end.
    for (const Pending& p : pending) {
      open.erase(p.fd);
      ::close(p.fd);
      --inFlight;
    }
    pending.clear();
    // 3. Calls in flight: their transport waits end at once.
    for (int fd : open) ::shutdown(fd, SHUT_RDWR);
    workCv.notify_all();
    // 4. Wait for every dispatcher to return.
    const auto warnEvery = std::chrono::milliseconds(std::max(options.stopWarnMs, 100));
    auto warnAt = std::chrono::steady_clock::now() + warnEvery;
    while (inFlight != 0) {
      if (drainedCv.wait_until(lock, warnAt) == std::cv_status::timeout && inFlight != 0) {
        std::fprintf(stderr, "RPC server: waiting for %u call(s) to return\n", inFlight);
        warnAt += warnEvery;
      }
    }
    threads.splice(threads.end(), workers);
    threads.splice(threads.end(), retired);
    stopped = true;
  }
  for (std::thread& t : threads) t.join();
  closeFd(wakeFd);
  wakeFd = -1;
}

RpcServer::RpcServer() : server_(std::make_unique<RpcCall::Server>()) {}

RpcServer::~RpcServer() { stop(); }

uint32_t RpcServer::start(const RpcInterface& iface, RpcDispatcher dispatcher,
                          const RpcServerOptions& options, Step* failedStep) {
  RpcCall::Server& s = *server_;
  Step step = Step::kEndpoint;
  auto fail = [&](uint32_t code) {
    if (failedStep) *failedStep = step;
    closeFd(s.listenFd);
    s.listenFd = -1;
    closeFd(s.wakeFd);
    s.wakeFd = -1;
    return code;
  };
  {
    plat::LockGuard lock(s.mutex);
    if (s.started) return fail(kRpcDuplicateEndpoint);
  }
  s.iface = iface;
  s.dispatcher = std::move(dispatcher);
  s.options = options;
  if (s.options.minThreads == 0) s.options.minThreads = 1;
  if (s.options.maxCalls < s.options.minThreads) s.options.maxCalls = s.options.minThreads;
  s.allowedUid = options.allowedUid < 0 ? uint32_t(geteuid()) : uint32_t(options.allowedUid);
  if (uint32_t rc = s.bindEndpoint()) return fail(rc);

  step = Step::kListen;
  s.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (s.wakeFd < 0) {
    uint32_t rc = lastSystemError();
    ::unlink(s.path.c_str());
    return fail(rc);
  }
  plat::UniqueLock lock(s.mutex);
  bool threadsOk = true;
  for (unsigned i = 0; threadsOk && i < s.options.minThreads; ++i) threadsOk = s.spawnLocked();
  if (threadsOk) {
    try {
      s.acceptor = std::thread(&RpcCall::Server::acceptLoop, &s);
    } catch (const std::system_error&) {
      threadsOk = false;
    }
  }
  if (!threadsOk) {
    s.stopping = true;
    s.workCv.notify_all();
    std::list<std::thread> threads;
    threads.swap(s.workers);
    lock.unlock();
    for (std::thread& t : threads) t.join();
    ::unlink(s.path.c_str());
    return fail(kErrorNoSystemResources);
  }
  s.started = true;
  return 0;
}

void RpcServer::stop() { server_->stop(); }

unsigned RpcServer::callsInFlight() const {
  plat::LockGuard lock(server_->mutex);
  return server_->inFlight;
}

unsigned RpcServer::threadCount() const {
  plat::LockGuard lock(server_->mutex);
  return unsigned(server_->workers.size());
}

}  // namespace plat
