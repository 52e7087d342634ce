// The control RPC transport: one AF_UNIX SOCK_STREAM connection per call at
// the socket of an endpoint pipe name (plat::pipePath), frames of a u32
// little-endian body length (at most kRpcFrameLimit) and the body:
//
//   call           u8 0, 16-byte interface id, u16 major, u16 minor, u16 procedure, arguments
//   reply          u8 1, u16 result, outputs
//   fault          u8 2, u32 exception code
//   callback       u8 3, u16 callback number, arguments
//   callback done  u8 4 (or a fault frame)
//
// This layer moves frames and checks the call header; the marshalling of each
// procedure's arguments belongs to the interface's stubs above it.
//
// Exception codes keep their Win32 numbers (constants below). A peer of
// another user (SO_PEERCRED) is refused by the server with fault 5.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "plat/errors.h"
#include "plat/runtime.h"

namespace plat {

inline constexpr size_t kRpcFrameLimit = 16u << 20;

enum RpcFrameType : uint8_t {
  kRpcFrameCall = 0,
  kRpcFrameReply = 1,
  kRpcFrameFault = 2,
  kRpcFrameCallback = 3,
  kRpcFrameCallbackDone = 4,
};

struct RpcInterface {
  uint8_t id[16];
  uint16_t major;
  uint16_t minor;
  uint16_t procedureCount;  // procedures 0 .. count - 1
};

// A call that did not complete: the RPC exception and its code.
class RpcException : public std::exception {
 public:
  explicit RpcException(uint32_t code);
  uint32_t code() const { return code_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  uint32_t code_;
  std::string what_;
};

struct RpcResult {
  uint16_t result = 0;
  std::vector<uint8_t> outputs;
};

// ---------------------------------------------------------------- client side

// Where calls go. Creating a binding touches nothing: a missing server shows
// only when a call is made.
class RpcBinding {
 public:
  explicit RpcBinding(std::string endpoint = kControlPipeName) : endpoint_(std::move(endpoint)) {}
  const std::string& endpoint() const { return endpoint_; }

 private:
  std::string endpoint_;
};

// Runs one callback the server sent during a call, on the calling thread:
// number and argument bytes (valid during the call only). Returns 0 to answer
// "done", else the fault code to answer with.
using RpcCallbackHandler =
    std::function<uint32_t(uint16_t number, const uint8_t* arguments, size_t length)>;

// Makes one call and waits (without limit) for its reply; callbacks are run
// by `onCallback` (none given: each is answered with fault 1745). Throws
// RpcException: the server's fault code; 1722 when nobody listens at the
// endpoint; 1726 when the connection is lost; 1783 for a frame that breaks the
// format.
RpcResult rpcCall(const RpcBinding& binding, const RpcInterface& iface, uint16_t procedure,
                  const std::vector<uint8_t>& arguments, const RpcCallbackHandler& onCallback = {});

// ---------------------------------------------------------------- server side

// One call in flight, handed to the dispatcher on the call's own thread.
class RpcCall {
 public:
  // Sends callback `number` on this call's connection and waits for the
  // client's answer (no limit; stop() ends the wait). 0: the client ran it;
  // else the client's fault code, 1726 when the connection is lost or the
  // server is stopping, 1783 for a malformed answer. Only the dispatching
  // thread may call it.
  uint32_t callback(uint16_t number, const std::vector<uint8_t>& arguments);
  // True once stop() has begun: a dispatcher that can wait long (a dialog)
  // should give up.
  bool stopping() const;
  int peerPid() const { return peerPid_; }
  uint32_t peerUid() const { return peerUid_; }

 private:
  friend class RpcServer;
  struct Server;
  RpcCall(Server* server, int fd, int pid, uint32_t uid)
      : server_(server), fd_(fd), peerPid_(pid), peerUid_(uid) {}
  Server* server_;
  int fd_;
  int peerPid_;
  uint32_t peerUid_;
  bool broken_ = false;
};

// Runs procedure `procedure` (already checked < procedureCount) with its
// argument bytes. Returns 0 to send *reply, else the fault code to send.
// Exceptions: RpcException becomes a fault with its code, any other one fault
// 1726.
using RpcDispatcher = std::function<uint32_t(
    RpcCall& call, uint16_t procedure, const uint8_t* arguments, size_t length, RpcResult* reply)>;

struct RpcServerOptions {
  std::string endpoint = kControlPipeName;
  unsigned minThreads = 16;        // call threads kept ready
  unsigned maxCalls = 1234;        // concurrent calls; the next one gets fault 1723
  int callFrameTimeoutMs = 30000;  // a connection must bring its call within this
  int sendTimeoutMs = 30000;       // a client must take our frames within this
  int stopWarnMs = 10000;          // stop() reports calls that outlast this
  int idleRetireMs = 30000;        // a thread above minThreads idle this long ends
  // The user whose processes may call; -1 is this process's own effective
  // user (tests set another to see the refusal).
  int64_t allowedUid = -1;
};

// The listener and its pool of call threads. Threads: start() and stop() on
// the owner's thread; the dispatcher on call threads, any number at once.
class RpcServer {
 public:
  enum class Step { kEndpoint, kListen };

  RpcServer();
  ~RpcServer();  // stop()
  RpcServer(const RpcServer&) = delete;
  RpcServer& operator=(const RpcServer&) = delete;

  // Binds the endpoint (removing a stale socket nobody listens on; 1740 when
  // a live server holds it) and starts listening. Win32 code, 0 on success;
  // *failedStep tells which step failed. A server is started once.
  uint32_t start(const RpcInterface& iface, RpcDispatcher dispatcher,
                 const RpcServerOptions& options = {}, Step* failedStep = nullptr);
  // Stops accepting (the endpoint's socket file goes), answers nothing more to
  // queued connections, cuts the connections of the calls in flight (their
  // callbacks and replies fail at once) and waits until every dispatcher has
  // returned; only then returns. A dispatcher blocked in its own code is
  // waited for (stopping() tells it to give up); past stopWarnMs a line goes
  // to standard error. Idempotent. Never call it from a dispatcher: it would
  // wait for itself.
  void stop();
  // Calls accepted and not yet finished (queued or dispatching).
  unsigned callsInFlight() const;
  // Call threads alive now.
  unsigned threadCount() const;

 private:
  friend class RpcCall;
  std::unique_ptr<RpcCall::Server> server_;
};

}  // namespace plat
