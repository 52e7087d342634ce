// The control RPC transport: calls, replies, faults, callbacks, refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <stdexcept>

#include "plat/rpc.h"
#include "rpc_fixture.h"

namespace plat::test {
namespace {

const RpcInterface kTestIf = {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, 1, 1, 3};

// Procedure 0 answers result 0x1234 with the arguments reversed.
uint32_t reverseDispatcher(RpcCall&, uint16_t procedure, const uint8_t* args, size_t n,
                           RpcResult* reply) {
  reply->result = uint16_t(0x1234 + procedure);
  reply->outputs.assign(args, args + n);
  std::reverse(reply->outputs.begin(), reply->outputs.end());
  return 0;
}

uint32_t callCode(uint16_t procedure, const std::vector<uint8_t>& args,
                  const RpcCallbackHandler& handler = {}, const RpcInterface& iface = kTestIf) {
  try {
    rpcCall(RpcBinding(), iface, procedure, args, handler);
  } catch (const RpcException& e) {
    return e.code();
  }
  return 0;
}

using RpcTransportTest = RuntimeDirTest;

TEST_F(RpcTransportTest, CallCarriesArgumentsAndReplyCarriesResultAndOutputs) {
  RpcServer server;
  ASSERT_EQ(0u, server.start(kTestIf, reverseDispatcher));
  RpcResult r = rpcCall(RpcBinding(), kTestIf, 2, {1, 2, 3});
  EXPECT_EQ(0x1236, r.result);
  EXPECT_THAT(r.outputs, ::testing::ElementsAre(3, 2, 1));

  // A body far larger than one read step travels whole both ways.
  std::vector<uint8_t> big(3 << 20);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7);
  r = rpcCall(RpcBinding(), kTestIf, 0, big);
  std::reverse(big.begin(), big.end());
  EXPECT_TRUE(r.outputs == big);
}

TEST_F(RpcTransportTest, NobodyListeningIsServerUnavailable) {
  EXPECT_EQ(kRpcServerUnavailable, callCode(0, {}));

  // A socket file left behind by a dead server: still nobody there.
  std::string path = controlSocketPath();
  ASSERT_EQ(0, makeParentDirs(path));
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, path.c_str());
  ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ::close(fd);
  EXPECT_EQ(kRpcServerUnavailable, callCode(0, {}));

  // ... and a server starting later takes the endpoint over.
  RpcServer server;
  ASSERT_EQ(0u, server.start(kTestIf, reverseDispatcher));
  EXPECT_EQ(0u, callCode(0, {}));
}

TEST_F(RpcTransportTest, ServerAnswersBrokenCallsWithTheirFaults) {
  RpcServer server;
  std::atomic<int> dispatched{0};
  ASSERT_EQ(0u, server.start(kTestIf,
                             [&](RpcCall& c, uint16_t p, const uint8_t* a, size_t n, RpcResult* r) {
                               ++dispatched;
                               return reverseDispatcher(c, p, a, n, r);
                             }));
  RpcInterface otherId = kTestIf;
  otherId.id[15] ^= 1;
  RpcInterface major2 = kTestIf, minor0 = kTestIf;
  major2.major = 2;
  minor0.minor = 0;
  std::vector<uint8_t> overlong = {0x01, 0x00, 0x00, 0x01};  // 16 MiB + 1
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    uint32_t fault;
  } cases[] = {
      {"unknown interface", frame(callBody(otherId, 0, {})), kRpcUnknownInterface},
      {"other major version", frame(callBody(major2, 0, {})), kRpcProcedureOutOfRange},
      {"other minor version", frame(callBody(minor0, 0, {})), kRpcProcedureOutOfRange},
      {"procedure past the last", frame(callBody(kTestIf, 3, {})), kRpcProcedureOutOfRange},
      {"not a call frame", frame({1, 0, 0}), kRpcBadStubData},
      {"call header cut short", frame({0, 1, 2, 3, 4, 5}), kRpcBadStubData},
      {"empty frame", frame({}), kRpcBadStubData},
      {"frame over 16 MiB", overlong, kRpcBadStubData},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> reply;
    ASSERT_TRUE(rawExchange(c.bytes, &reply)) << c.what;
    EXPECT_EQ(c.fault, faultCode(reply)) << c.what;
  }
  EXPECT_EQ(0, dispatched.load());
  // The server is none the worse.
  EXPECT_EQ(0u, callCode(1, {9}));
}

TEST_F(RpcTransportTest, DispatcherStatusAndExceptionsBecomeFaults) {
  RpcServer server;
  ASSERT_EQ(0u,
            server.start(kTestIf,
                         [](RpcCall&, uint16_t p, const uint8_t*, size_t, RpcResult*) -> uint32_t {
                           if (p == 0) return kRpcBadStubData;
                           if (p == 1) throw RpcException(kRpcAccessDenied);
                           throw std::runtime_error("handler bug");
                         }));
  EXPECT_EQ(kRpcBadStubData, callCode(0, {}));
  EXPECT_EQ(kRpcAccessDenied, callCode(1, {}));
  EXPECT_EQ(kRpcCallFailed, callCode(2, {}));
}

TEST_F(RpcTransportTest, CallbacksRunOnTheCallersConnectionBeforeTheReply) {
  std::vector<uint32_t> seen;  // the server's view of each callback's answer
  RpcServer server;
  ASSERT_EQ(0u, server.start(kTestIf, [&](RpcCall& call, uint16_t, const uint8_t*, size_t,
                                          RpcResult* reply) {
    seen.push_back(call.callback(7, {1, 2}));
    seen.push_back(call.callback(8, {}));
    reply->result = 5;
    return 0u;
  }));

  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> ran;
  RpcResult r =
      rpcCall(RpcBinding(), kTestIf, 0, {}, [&](uint16_t n, const uint8_t* a, size_t len) {
        ran.emplace_back(n, std::vector<uint8_t>(a, a + len));
        return n == 7 ? 0u : kRpcInvalidArgument;
      });
  EXPECT_EQ(5, r.result);
  ASSERT_EQ(2u, ran.size());
  EXPECT_EQ(7, ran[0].first);
  EXPECT_THAT(ran[0].second, ::testing::ElementsAre(1, 2));
  EXPECT_EQ(8, ran[1].first);
  EXPECT_THAT(seen, ::testing::ElementsAre(0u, kRpcInvalidArgument));

  // Without a handler every callback is refused; a throwing handler fails it.
  seen.clear();
  EXPECT_EQ(0u, callCode(0, {}));
  EXPECT_THAT(seen, ::testing::ElementsAre(kRpcProcedureOutOfRange, kRpcProcedureOutOfRange));
  seen.clear();
  EXPECT_EQ(0u, callCode(0, {}, [](uint16_t, const uint8_t*, size_t) -> uint32_t {
              throw std::runtime_error("client bug");
            }));
  EXPECT_THAT(seen, ::testing::ElementsAre(kRpcCallFailed, kRpcCallFailed));
}

TEST_F(RpcTransportTest, ClientRejectsWhatTheServerCannotHaveMeant) {
  struct Case {
    const char* what;
    std::vector<uint8_t> answer;
    uint32_t code;
  } cases[] = {
      {"connection closed without an answer", {}, kRpcCallFailed},
      {"half a frame", {9, 0, 0, 0, 1, 0}, kRpcCallFailed},
      {"frame over 16 MiB", {0x01, 0x00, 0x00, 0x01}, kRpcBadStubData},
      {"unknown frame type", frame({9, 0, 0}), kRpcBadStubData},
      {"reply without its result", frame({1, 0}), kRpcBadStubData},
      {"fault of the wrong size", frame({2, 1, 0, 0}), kRpcBadStubData},
      {"fault code 0", frame({2, 0, 0, 0, 0}), kRpcBadStubData},
      {"the server's fault", frame({2, 0xC3, 0x06, 0, 0}), 1731},
      {"empty frame", frame({}), kRpcBadStubData},
  };
  for (const Case& c : cases) {
    FakeServer fake(c.answer);
    ASSERT_TRUE(fake.listening());
    EXPECT_EQ(c.code, callCode(0, {})) << c.what;
  }
  // A callback whose answer cannot be sent: the server has gone.
  FakeServer fake(frame({3, 0, 0}));
  EXPECT_EQ(kRpcCallFailed, callCode(0, {}, [](uint16_t, const uint8_t*, size_t) { return 0u; }));
}

TEST_F(RpcTransportTest, PeerOfAnotherUserIsRefused) {
  RpcServerOptions options;
  options.allowedUid = int64_t(::geteuid()) + 1;
  std::atomic<int> dispatched{0};
  RpcServer server;
  ASSERT_EQ(0u, server.start(
                    kTestIf,
                    [&](RpcCall&, uint16_t, const uint8_t*, size_t, RpcResult*) {
                      ++dispatched;
                      return 0u;
                    },
                    options));
  EXPECT_EQ(kRpcAccessDenied, callCode(0, {}));
  EXPECT_EQ(0, dispatched.load());
}

TEST_F(RpcTransportTest, EndpointBelongsToOneLiveServerAndGoesWithIt) {
  RpcServer first;
  ASSERT_EQ(0u, first.start(kTestIf, reverseDispatcher));
  struct stat st;
  ASSERT_EQ(0, ::stat(controlSocketPath().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  RpcServer second;
  RpcServer::Step step = RpcServer::Step::kListen;
  EXPECT_EQ(kRpcDuplicateEndpoint, second.start(kTestIf, reverseDispatcher, {}, &step));
  EXPECT_EQ(RpcServer::Step::kEndpoint, step);
  EXPECT_EQ(0u, callCode(0, {}));  // the first still serves

  first.stop();
  EXPECT_NE(0, ::stat(controlSocketPath().c_str(), &st));
  EXPECT_EQ(kRpcServerUnavailable, callCode(0, {}));
  first.stop();  // again: nothing

  RpcServer third;
  EXPECT_EQ(0u, third.start(kTestIf, reverseDispatcher));
  EXPECT_EQ(0u, callCode(0, {}));
}

TEST_F(RpcTransportTest, BadEndpointNameFailsTheStart) {
  RpcServerOptions options;
  options.endpoint = "\\pipe\\..\\escape";
  RpcServer server;
  RpcServer::Step step = RpcServer::Step::kListen;
  EXPECT_EQ(123u, server.start(kTestIf, reverseDispatcher, options, &step));
  EXPECT_EQ(RpcServer::Step::kEndpoint, step);
}

}  // namespace
}  // namespace plat::test
