// Test support for the RPC tests: a private runtime dir per test and raw
// access to the wire.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "plat/rpc.h"
#include "plat/runtime.h"

namespace plat::test {

// Every test gets its own runtime dir, so its endpoint is its own.
class RuntimeDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeTempDir("rpc-test-");
    ASSERT_FALSE(dir_.empty());
    setEnvironment("LINKHUB_RUNTIME_DIR", dir_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string controlSocketPath() const {
    std::string path;
    EXPECT_EQ(0, pipePath(kControlPipeName, &path));
    return path;
  }
  std::string dir_;
};

// Frame building for raw exchanges.
std::vector<uint8_t> frame(const std::vector<uint8_t>& body);
std::vector<uint8_t> callBody(const RpcInterface& iface, uint16_t procedure,
                              const std::vector<uint8_t>& arguments);

// Connects to the control socket, writes `bytes` as they are and reads one
// frame back. False when the connection ended before a whole frame came.
bool rawExchange(const std::vector<uint8_t>& bytes, std::vector<uint8_t>* reply);

// One raw connection to the control socket, for a client that must answer
// the server's callbacks itself. Reads wait at most `timeoutMs`.
class RawConnection {
 public:
  explicit RawConnection(int timeoutMs);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  bool connected() const { return fd_ >= 0; }
  bool send(const std::vector<uint8_t>& bytes);
  // No more bytes from this end: the server sees the connection end.
  void endSending();
  // One frame's body. kLost: the connection ended (or the wait ran out)
  // before a whole frame came.
  enum class Read { kFrame, kLost, kTimedOut };
  Read readFrame(std::vector<uint8_t>* body);

 private:
  int fd_ = -1;
};

// A listener on the control socket that plays a scripted server: for each
// connection it reads one frame and answers with `answer` (raw bytes, sent as
// they are), then closes.
class FakeServer {
 public:
  explicit FakeServer(std::vector<uint8_t> answer);
  ~FakeServer();
  bool listening() const { return fd_ >= 0; }

 private:
  void run();
  std::vector<uint8_t> answer_;
  int fd_ = -1;
  int stopFd_ = -1;
  std::thread thread_;
};

uint32_t faultCode(const std::vector<uint8_t>& body);  // 0 when not a fault frame

}  // namespace plat::test
