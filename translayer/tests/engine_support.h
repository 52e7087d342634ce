// Shared pieces of the pipe engine tests: a receiver that records what it is
// given, a thread running one engine loop, and a private runtime directory.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "plat/runtime.h"
#include "translayer/BlockingQueue.h"
#include "translayer/Event.h"
#include "translayer/Payload.h"
#include "translayer/TrIfTranCommon.h"

namespace enginetest {

using namespace std::chrono_literals;

// Only a hang may run into this.
constexpr auto kLong = std::chrono::seconds(60);

// Records chunks and joins them into messages; can refuse the n-th chunk or
// call back into an engine from the loop thread.
class Recorder : public translayer::TrIfTranRemote {
 public:
  bool deliver(std::shared_ptr<translayer::TrIfTranPayload> chunk) override {
    int index = delivered_.fetch_add(1);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      chunks_.push_back(chunk);
    }
    if (index == refuseAt) return false;
    if (onChunk) onChunk(chunk);
    switch (reader_.append(*chunk)) {
      case translayer::MessageReader::Append::Complete:
        messages.push(std::make_shared<std::vector<uint8_t>>(reader_.data(),
                                                             reader_.data() + reader_.length()));
        reader_.reset();
        break;
      case translayer::MessageReader::Append::Failed:
        return false;
      case translayer::MessageReader::Append::More:
        break;
    }
    return true;
  }
  void close(bool wait) override {
    if (wait) waitedClose = true;
    ++closes;
    closed.set();
  }
  void roomAgain() override {
    ++roomAgains;
    roomCame.set();
  }
  std::vector<std::shared_ptr<translayer::TrIfTranPayload>> chunks() {
    std::lock_guard<std::mutex> lock(mutex_);
    return chunks_;
  }
  int delivered() const { return delivered_; }

  int refuseAt = -1;
  std::function<void(const std::shared_ptr<translayer::TrIfTranPayload>&)> onChunk;  // loop thread
  translayer::BlockingQueue<std::vector<uint8_t>> messages;
  std::atomic<int> closes{0};
  std::atomic<bool> waitedClose{false};
  translayer::Event closed;
  std::atomic<int> roomAgains{0};
  translayer::Event roomCame;

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<translayer::TrIfTranPayload>> chunks_;
  std::atomic<int> delivered_{0};
  translayer::MessageReader reader_;  // loop thread only
};

// One engine loop on its own thread, started as the owners start theirs:
// reported connected first.
class Loop {
 public:
  Loop(translayer::TrIfTranCommon& engine, plat::Handle pipe,
       translayer::TrIfTranRemote* receiver) {
    engine.notConnected = 0;
    engine.connectResult.set();
    done_ = std::async(std::launch::async,
                       [&engine, pipe, receiver] { engine.ioLoop(pipe, receiver); });
  }
  ~Loop() {
    if (done_.valid()) done_.wait();
  }
  // True when the loop ended within kLong.
  bool ended() { return done_.wait_for(kLong) == std::future_status::ready; }

 private:
  std::future<void> done_;
};

// Runs f on another thread; true when it returned within kLong.
template <typename F>
bool returnsInTime(F f) {
  auto done = std::async(std::launch::async, f);
  bool ok = done.wait_for(kLong) == std::future_status::ready;
  if (!ok) {
    ADD_FAILURE() << "did not return: the process is left to the test time-out";
    std::quick_exit(3);
  }
  return ok;
}

// A private runtime directory for the test program.
class RuntimeDirEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = plat::makeTempDir("engine_test_");
    ASSERT_FALSE(dir_.empty());
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", dir_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

 private:
  std::string dir_;
};

// Bytes that differ from message to message and from chunk to chunk.
inline std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    v[i] = uint8_t(x);
  }
  return v;
}

inline void sendMessage(translayer::TrIfTranRemote* to, const std::vector<uint8_t>& bytes) {
  translayer::MessageWriter w;
  ASSERT_TRUE(w.putBytes(bytes.data(), bytes.size()));
  ASSERT_TRUE(w.send(to));
}

}  // namespace enginetest
