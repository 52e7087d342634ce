// ConnectionServerRpc marshalling: what the client stubs accept from a
// server, and what the server's dispatch accepts from a client.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "rpc_fixture.h"
#include "translayer/ConnectionServerRpc.h"
#include "translayer/RpcMemory.h"

using translayer::AskUserDeviceSelection;
using translayer::ConnectionServerCall;
using translayer::ConnectionServerRpcHandler;
using translayer::ConnectionServerRpcServer;
using translayer::GetOnlineDevices;
using translayer::HwId;
using translayer::kConnectionServerRpc;
using translayer::kMaxOnlineDevices;
using translayer::MIDL_user_allocate;
using translayer::MIDL_user_free;
using translayer::OpenChannel;
using translayer::ReservedProc1;
using translayer::ReservedProc2;

namespace {

using ::testing::ElementsAre;

HwId idOf(uint8_t first) {
  HwId id;
  for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(first + i);
  return id;
}

// ------------------------------------------------------------ client stubs

// A server that answers every call with a scripted reply.
class ScriptedReplies : public plat::test::RuntimeDirTest {
 protected:
  void serve(uint16_t result, std::vector<uint8_t> outputs) {
    server_ = std::make_unique<plat::RpcServer>();
    ASSERT_EQ(0u, server_->start(kConnectionServerRpc,
                                 [result, outputs](plat::RpcCall&, uint16_t, const uint8_t*, size_t,
                                                   plat::RpcResult* reply) {
                                   reply->result = result;
                                   reply->outputs = outputs;
                                   return 0u;
                                 }));
  }
  std::unique_ptr<plat::RpcServer> server_;
};

std::vector<uint8_t> openOutput(uint16_t n, const std::string& name) {
  std::vector<uint8_t> out{uint8_t(n), uint8_t(n >> 8)};
  out.insert(out.end(), name.begin(), name.end());
  return out;
}

TEST_F(ScriptedReplies, OpenChannelTakesOnlyANameThatEndsWithinTheBuffer) {
  const std::string ok("\\\\.\\pipe\\x\0", 11);
  struct Case {
    const char* what;
    uint16_t result;
    std::vector<uint8_t> outputs;
    int16_t size;
    int expected;  // 4 means exception 1783
  } cases[] = {
      {"name and terminator", 0, openOutput(11, ok), 64, 0},
      {"exactly the buffer", 0, openOutput(11, ok), 11, 0},
      {"one past the buffer", 0, openOutput(11, ok), 10, 4},
      {"no terminator", 0, openOutput(3, "abc"), 64, 4},
      {"zero inside", 0, openOutput(4, std::string("a\0b\0", 4)), 64, 4},
      {"empty name with 0", 0, openOutput(0, ""), 64, 4},
      {"count beyond the bytes", 0, openOutput(12, ok), 64, 4},
      {"bytes beyond the count", 0, openOutput(10, ok), 64, 4},
      {"no count at all", 0, {0}, 64, 4},
      {"refusal with a name", 2, openOutput(11, ok), 64, 4},
      {"refusal", 3, openOutput(0, ""), 64, 3},
  };
  for (const Case& c : cases) {
    serve(c.result, c.outputs);
    char pipe[64];
    std::memset(pipe, 'Z', sizeof pipe);
    uint32_t code = 99;
    HwId id = idOf(1);
    EXPECT_EQ(c.expected, OpenChannel(plat::RpcBinding(), &id, 1, c.size, pipe, &code)) << c.what;
    if (c.expected == 4) {
      EXPECT_EQ(1783u, code) << c.what;
      EXPECT_EQ('Z', pipe[0]) << c.what << ": the buffer is left alone";
    } else {
      EXPECT_EQ(0u, code) << c.what;
    }
    if (c.expected == 0) {
      EXPECT_STREQ("\\\\.\\pipe\\x", pipe) << c.what;
    }
    server_.reset();
  }
}

TEST_F(ScriptedReplies, OtherProceduresRefuseOutputsOfTheWrongShape) {
  HwId id = idOf(1);
  uint32_t code = 0;
  serve(0, std::vector<uint8_t>(15, 7));  // an id one byte short
  EXPECT_EQ(4, AskUserDeviceSelection(plat::RpcBinding(), &id, 0, &code));
  EXPECT_EQ(1783u, code);
  EXPECT_EQ(idOf(1), id);

  serve(0, {1});  // GetOnlineDevices has no outputs
  EXPECT_EQ(4, GetOnlineDevices(plat::RpcBinding(), 1, {}, &code));
  EXPECT_EQ(1783u, code);

  serve(0, {3, 0, 1, 2, 3});  // ReservedProc1 gives back more than went in
  uint8_t buffer[2] = {9, 9};
  int16_t length = 2;
  EXPECT_EQ(4, ReservedProc1(plat::RpcBinding(), &id, &length, buffer, &code));
  EXPECT_EQ(2, length);
  EXPECT_EQ(9, buffer[0]);

  serve(0, {1, 0, 42});  // ... or less
  EXPECT_EQ(0, ReservedProc1(plat::RpcBinding(), &id, &length, buffer, &code));
  EXPECT_EQ(1, length);
  EXPECT_EQ(42, buffer[0]);

  // A negative length never leaves the client.
  length = -1;
  EXPECT_EQ(4, ReservedProc1(plat::RpcBinding(), &id, &length, buffer, &code));
  EXPECT_EQ(1783u, code);
  EXPECT_EQ(4, ReservedProc2(plat::RpcBinding(), &id, -5, buffer, &code));
  EXPECT_EQ(1783u, code);
}

// ------------------------------------------------------------ server dispatch

class RecordingHandler : public ConnectionServerRpcHandler {
 public:
  std::atomic<int> calls{0};
  uint16_t openResult = 0;
  std::string openName = "\\\\.\\pipe\\zamoconnectionserver_\\00000000";
  std::vector<HwId> devices;
  uint32_t callbackStatus = 0;
  std::vector<uint8_t> reservedAnswer;

  uint16_t GetOnlineDevices(ConnectionServerCall& call, uint64_t cookie) override {
    ++calls;
    callbackStatus = call.onlineDevicesCallback(cookie, devices.data(), devices.size());
    return callbackStatus ? 4 : 0;
  }
  uint16_t ReservedProc1(ConnectionServerCall&, const HwId&,
                         std::vector<uint8_t>* buffer) override {
    ++calls;
    *buffer = reservedAnswer;
    return 0;
  }
  uint16_t AskUserDeviceSelection(ConnectionServerCall&, HwId* hwid, uint64_t) override {
    ++calls;
    *hwid = idOf(0xF0);
    return 5;
  }
  uint16_t OpenChannel(ConnectionServerCall&, const HwId&, uint8_t, int16_t,
                       std::string* name) override {
    ++calls;
    *name = openName;
    return openResult;
  }
};

class Dispatch : public plat::test::RuntimeDirTest {
 protected:
  void SetUp() override {
    RuntimeDirTest::SetUp();
    ASSERT_EQ(0u, server_.start());
  }
  // The raw call; the exception code or 0 with *reply.
  uint32_t raw(uint16_t procedure, const std::vector<uint8_t>& args,
               plat::RpcResult* reply = nullptr) {
    try {
      plat::RpcResult r = plat::rpcCall(plat::RpcBinding(), kConnectionServerRpc, procedure, args);
      if (reply) *reply = r;
      return 0;
    } catch (const plat::RpcException& e) {
      return e.code();
    }
  }
  RecordingHandler handler_;
  ConnectionServerRpcServer server_{&handler_};
};

std::vector<uint8_t> withId(const std::vector<uint8_t>& tail) {
  std::vector<uint8_t> args;
  args.reserve(16 + tail.size());
  for (int i = 0; i < 16; ++i) args.push_back(0x33);
  for (uint8_t b : tail) args.push_back(b);
  return args;
}

TEST_F(Dispatch, MalformedArgumentsNeverReachTheHandler) {
  struct Case {
    const char* what;
    uint16_t procedure;
    std::vector<uint8_t> args;
  } cases[] = {
      {"cookie short", 0, std::vector<uint8_t>(7)},
      {"cookie long", 0, std::vector<uint8_t>(9)},
      {"reserved 1 without id", 1, std::vector<uint8_t>(15)},
      {"reserved 1 negative length", 1, withId({0xFF, 0xFF})},
      {"reserved 1 bytes short", 1, withId({3, 0, 1, 2})},
      {"reserved 2 bytes long", 2, withId({1, 0, 1, 2})},
      {"chooser window short", 3, withId({1, 2, 3, 4, 5, 6, 7})},
      {"open without size", 4, withId({1, 64})},
      {"open with a byte more", 4, withId({1, 64, 0, 0})},
  };
  for (const Case& c : cases) EXPECT_EQ(1783u, raw(c.procedure, c.args)) << c.what;
  EXPECT_EQ(0, handler_.calls.load());
}

TEST_F(Dispatch, OpenChannelOutputsFollowTheRule) {
  struct Case {
    const char* what;
    int16_t size;
    uint16_t handlerResult;
    std::string name;
    uint16_t result;
    bool handlerCalled;
  } cases[] = {
      {"fits", 41, 0, std::string(40, 'p'), 0, true},
      {"no room for the terminator", 40, 0, std::string(40, 'p'), 1, true},
      {"zero inside the name", 64, 0, std::string("ab\0cd", 5), 1, true},
      {"handler refuses", 64, 3, "ignored", 3, true},
      {"size 0", 0, 0, "x", 1, false},
      {"negative size", -64, 0, "x", 1, false},
  };
  for (const Case& c : cases) {
    handler_.calls = 0;
    handler_.openResult = c.handlerResult;
    handler_.openName = c.name;
    plat::RpcResult reply;
    std::vector<uint8_t> args = withId({4, uint8_t(c.size), uint8_t(uint16_t(c.size) >> 8)});
    ASSERT_EQ(0u, raw(4, args, &reply)) << c.what;
    EXPECT_EQ(c.result, reply.result) << c.what;
    EXPECT_EQ(c.handlerCalled ? 1 : 0, handler_.calls.load()) << c.what;
    if (c.result == 0) {
      std::vector<uint8_t> expected{uint8_t(c.name.size() + 1), 0};
      expected.insert(expected.end(), c.name.begin(), c.name.end());
      expected.push_back(0);
      EXPECT_TRUE(reply.outputs == expected) << c.what;
    } else {
      EXPECT_THAT(reply.outputs, ElementsAre(0, 0)) << c.what;
    }
  }
}

TEST_F(Dispatch, CancelledChooserSendsBackTheIdThatCameIn) {
  HwId id = idOf(0x10);
  uint32_t code = 0;
  EXPECT_EQ(5, AskUserDeviceSelection(plat::RpcBinding(), &id, 7, &code));
  EXPECT_EQ(idOf(0x10), id);
}

TEST_F(Dispatch, ReservedAnswerIsCutToWhatCameIn) {
  handler_.reservedAnswer = {1, 2, 3, 4, 5};
  HwId id = idOf(1);
  uint8_t buffer[3] = {0, 0, 0};
  int16_t length = 3;
  uint32_t code = 0;
  EXPECT_EQ(0, ReservedProc1(plat::RpcBinding(), &id, &length, buffer, &code));
  EXPECT_EQ(3, length);
  EXPECT_THAT(buffer, ElementsAre(1, 2, 3));
}

TEST_F(Dispatch, CallbackCarriesTheIdsOrRefusesTooMany) {
  handler_.devices = {idOf(1), idOf(2)};
  std::vector<HwId> got;
  uint32_t code = 0;
  EXPECT_EQ(0, GetOnlineDevices(
                   plat::RpcBinding(), 0xC00C1E,
                   [&](uint64_t cookie, const HwId* ids, size_t n) {
                     EXPECT_EQ(0xC00C1Eu, cookie);
                     got.assign(ids, ids + n);
                   },
                   &code));
  EXPECT_THAT(got, ElementsAre(idOf(1), idOf(2)));

  handler_.devices.assign(kMaxOnlineDevices + 1, idOf(9));
  bool called = false;
  EXPECT_EQ(
      4, GetOnlineDevices(
             plat::RpcBinding(), 1, [&](uint64_t, const HwId*, size_t) { called = true; }, &code));
  EXPECT_FALSE(called);
  EXPECT_EQ(1783u, handler_.callbackStatus);

  handler_.devices.assign(kMaxOnlineDevices, idOf(9));
  size_t count = 0;
  EXPECT_EQ(0,
            GetOnlineDevices(
                plat::RpcBinding(), 1, [&](uint64_t, const HwId*, size_t n) { count = n; }, &code));
  EXPECT_EQ(kMaxOnlineDevices, count);
}

TEST_F(Dispatch, ServerStopsOnlyAfterItsCallsAndThenTheEndpointIsGone) {
  server_.stop();
  EXPECT_EQ(0u, server_.callsInFlight());
  uint32_t code = 0;
  EXPECT_EQ(4, GetOnlineDevices(plat::RpcBinding(), 1, {}, &code));
  EXPECT_EQ(1722u, code);
}

// ------------------------------------------------------------ RPC memory

TEST(RpcMemory, BlocksComeAndGo) {
  void* a = MIDL_user_allocate(100);
  void* b = MIDL_user_allocate(0);
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  EXPECT_NE(a, b);
  std::memset(a, 0xAB, 100);
  MIDL_user_free(a);
  MIDL_user_free(b);
  MIDL_user_free(nullptr);
}

TEST(RpcMemoryDeathTest, FreeingBeforeAnyAllocationIsAnAssertion) {
  // A fresh process that has allocated nothing yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  static int block;
  EXPECT_DEATH(MIDL_user_free(&block),
               "Assertion failed: RpcHeap != NULL, file TrIfTranRPCMemMgm, line 39");
}

TEST(RpcMemoryDeathTest, FreeingWhatTheHeapDidNotGiveIsAnAssertion) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        void* a = MIDL_user_allocate(8);
        MIDL_user_free(a);
        MIDL_user_free(a);
      },
      "Assertion failed: status, file TrIfTranRPCMemMgm, line 41");
  EXPECT_DEATH(
      {
        static int notFromTheHeap;
        MIDL_user_allocate(1);
        MIDL_user_free(&notFromTheHeap);
      },
      "Assertion failed: status, file TrIfTranRPCMemMgm, line 41");
}

}  // namespace
