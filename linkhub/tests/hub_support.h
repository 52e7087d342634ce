// Shared pieces of the connection server's tests: private runtime and
// registry, fake front ends and UI parts, a channel client that collects
// whole messages, and an in-process media record over devsim.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devsim/EchoService.h"
#include "devsim/InProcessMedia.h"
#include "devsim/InProcessMediaRecord.h"
#include "linkhub/MediaLibrary.h"
#include "linkhub/ServerUi.h"
#include "plat/runtime.h"
#include "translayer/HwId.h"
#include "translayer/Payload.h"
#include "translayer/TrIfTranClient.h"
#include "translayer/TrIfTranRemote.h"

namespace hubtest {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// Generous: the tests never depend on the machine's speed.
constexpr auto kLong = 20s;

inline translayer::HwId makeId(uint8_t seed) {
  translayer::HwId id;
  for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(seed + i);
  return id;
}

inline std::string hexOf(const translayer::HwId& id) {
  std::string s;
  char b[3];
  for (uint8_t v : id.id) {
    std::snprintf(b, sizeof b, "%02x", v);
    s += b;
  }
  return s;
}

// Polls `done` until it holds or `limit` passes.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit =
                           std::chrono::duration_cast<std::chrono::milliseconds>(kLong)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

inline Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7);
  return b;
}

// A private runtime directory (and the registry file inside it) per test.
class RuntimeDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = plat::makeTempDir("hub-test-");
    ASSERT_FALSE(dir_.empty());
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", dir_ + "/rt");
    registry_ = dir_ + "/registry.reg";
    plat::setEnvironment("LINKHUB_REGISTRY", registry_);
    // The servers started here run headless unless a test asks for a display.
    plat::unsetEnvironment("DISPLAY");
    plat::unsetEnvironment("WAYLAND_DISPLAY");
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  // Writes the registry file with a Media key of the given values (name,
  // text) for the application `app`.
  void writeRegistry(const std::vector<std::pair<std::string, std::string>>& media,
                     const std::string& app = "linkhub", bool withKey = true) {
    std::ofstream out(registry_);
    out << "Windows Registry Editor Version 5.00\n\n";
    out << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\" << app << "]\n\n";
    if (withKey) {
      out << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\" << app << "\\Media]\n";
      for (const auto& [name, value] : media) out << "\"" << name << "\"=\"" << value << "\"\n";
    }
  }
  std::string runtimeDir() const { return dir_ + "/rt"; }
  std::string pipeFile(const std::string& windowsName) const {
    std::string path;
    EXPECT_EQ(0, plat::pipePath(windowsName, &path));
    return path;
  }
  std::string dir_;
  std::string registry_;
};

// A pipe front end as the session side sees it: records what reaches it.
// Lets go of its slot only when the test says so (release()), or at once
// when told to close if autoRelease is set.
class FakeFrontEnd final : public translayer::TrIfTranRemote {
 public:
  bool deliver(std::shared_ptr<translayer::TrIfTranPayload> chunk) override {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.insert(received_.end(), chunk->data, chunk->data + chunk->length);
    if (chunk->last) ++messages_;
    return true;
  }
  void close(bool wait) override {
    closeCalls_++;
    if (wait) waitedCloses_++;
    if (autoRelease) releaseSoon();
  }
  bool hasRoom() override { return room; }
  std::atomic<bool> room{true};
  // Reports the end of the channel to the slot, as a front end's loop does.
  void release() {
    if (translayer::TrIfTranRemote* s = slot.exchange(nullptr)) s->close(false);
  }
  // From another thread, as a front end does on its own thread.
  void releaseSoon() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (releaser_.joinable()) return;
    releaser_ = std::thread([this] { release(); });
  }
  ~FakeFrontEnd() {
    std::thread t;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      t.swap(releaser_);
    }
    if (t.joinable()) t.join();
  }
  Bytes received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  int messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  // Sends one message to the device through the slot.
  bool send(const Bytes& message) {
    translayer::TrIfTranRemote* s = slot.load();
    if (!s) return false;
    size_t sent = 0;
    do {
      auto chunk = std::make_shared<translayer::TrIfTranPayload>();
      const size_t n = std::min(translayer::kChunkData, message.size() - sent);
      std::copy(message.begin() + long(sent), message.begin() + long(sent + n), chunk->data);
      chunk->length = uint16_t(n);
      sent += n;
      chunk->last = sent == message.size() ? 1 : 0;
      if (!s->deliver(chunk)) return false;
    } while (sent < message.size());
    return true;
  }

  std::atomic<translayer::TrIfTranRemote*> slot{nullptr};
  std::atomic<int> closeCalls_{0};
  std::atomic<int> waitedCloses_{0};
  std::atomic<bool> autoRelease{false};

 private:
  mutable std::mutex mutex_;
  Bytes received_;
  int messages_ = 0;
  std::thread releaser_;
};

// The receiver of a channel client: joins chunks into whole messages.
class MessageSink : public translayer::TrIfTranRemote {
 public:
  bool deliver(std::shared_ptr<translayer::TrIfTranPayload> chunk) override {
    std::lock_guard<std::mutex> lock(mutex_);
    current_.insert(current_.end(), chunk->data, chunk->data + chunk->length);
    if (chunk->last) {
      messages_.push_back(std::move(current_));
      current_.clear();
      cv_.notify_all();
    }
    return true;
  }
  void close(bool) override {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    cv_.notify_all();
  }
  bool next(Bytes* message, std::chrono::milliseconds limit =
                                std::chrono::duration_cast<std::chrono::milliseconds>(kLong)) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, limit, [this] { return !messages_.empty(); })) return false;
    *message = std::move(messages_.front());
    messages_.pop_front();
    return true;
  }
  bool waitClosed(std::chrono::milliseconds limit =
                      std::chrono::duration_cast<std::chrono::milliseconds>(kLong)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [this] { return closed_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  Bytes current_;
  std::deque<Bytes> messages_;
  bool closed_ = false;
};

// One open channel through the server, from the client's side.
struct ClientChannel {
  MessageSink sink;
  translayer::TrIfTranClient client{base::kProtocolBenchmark};
  int open(const translayer::HwId& id, uint8_t protocolId = base::kProtocolBenchmark) {
    if (int rc = client.bind()) return 100 + rc;
    const int rc = client.openChannel(id, protocolId, &sink);
    if (rc != 0) return rc;
    client.connectResult.wait();
    return client.notConnected.load() == 0 ? 0 : 99;
  }
  void send(const Bytes& message) {
    translayer::MessageWriter writer;
    writer.putBytes(message.data(), message.size());
    writer.send(&client);
  }
  // Sends and waits for the echo.
  bool echo(const Bytes& message) {
    send(message);
    Bytes back;
    return sink.next(&back) && back == message;
  }
};

// Records fatal messages instead of showing them.
class RecordingBox : public linkhub::FatalMessageBox {
 public:
  void show(const std::string& caption, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    shown.push_back({caption, text});
  }
  std::vector<std::pair<std::string, std::string>> shown;

 private:
  std::mutex mutex_;
};

// Installs a RecordingBox process-wide for its life.
struct ScopedBox {
  RecordingBox box;
  linkhub::FatalMessageBox* previous;
  ScopedBox() : previous(linkhub::setFatalMessageBox(&box)) {}
  ~ScopedBox() { linkhub::setFatalMessageBox(previous); }
};

// Adds an echoing device to an in-process media.
inline uint32_t addEchoDevice(devsim::InProcessMedia& media, const translayer::HwId& id,
                              uint8_t channels = 15,
                              const devsim::MediaChannelOptions& options = {}) {
  devsim::DeviceConfig config;
  config.hwid = id;
  config.channelCount = channels;
  const uint32_t index = media.addDevice(config, options);
  for (uint8_t p : {1, 2, 3, 4, 5, 127})
    media.device(index).registerService(p, devsim::EchoService::factory());
  return index;
}

}  // namespace hubtest
