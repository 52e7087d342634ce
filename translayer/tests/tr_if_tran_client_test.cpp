// The channel client against a connection server in another process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "rpc_child.h"
#include "rpc_fixture.h"
#include "translayer/ConnectionServerRpc.h"
#include "translayer/TrIfTranClient.h"

using translayer::AskUserDeviceSelection;
using translayer::HwId;
using translayer::MessageReader;
using translayer::MessageWriter;
using translayer::ReservedProc1;
using translayer::ReservedProc2;
using translayer::TrIfTranClient;
using translayer::TrIfTranPayload;
using translayer::TrIfTranRemote;

namespace {

using plat::test::ChildProcess;

HwId deviceId(int k) {  // as the test server makes them
  HwId id;
  for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(k * 16 + i + 1);
  return id;
}

HwId someId() {
  HwId id;
  for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(0xA0 + i);
  return id;
}
const char* kSomeIdHex = "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf";

// Collects what a channel delivers.
class Receiver : public TrIfTranRemote {
 public:
  bool deliver(std::shared_ptr<TrIfTranPayload> chunk) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reader_.append(*chunk) == MessageReader::Append::Complete) {
      messages_.emplace_back(reader_.data(), reader_.data() + reader_.length());
      reader_.reset();
      cv_.notify_all();
    }
    return true;
  }
  void close(bool) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++closes_;
    cv_.notify_all();
  }
  bool waitMessages(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return messages_.size() >= n; });
  }
  bool waitClosed() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return closes_ > 0; });
  }
  std::vector<std::vector<uint8_t>> messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  int closes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  MessageReader reader_;
  std::vector<std::vector<uint8_t>> messages_;
  int closes_ = 0;
};

class ClientTest : public plat::test::RuntimeDirTest {
 protected:
  // Starts the test server with `args`; false when it did not come up.
  bool startServer(const std::vector<std::string>& args) {
    return server_.start(CLIENT_TEST_SERVER, args) && server_.waitFor("ready");
  }
  std::string nextLine() {
    std::string line;
    return server_.readLine(&line) ? line : "<nothing>";
  }
  // Stops the server and returns the lines it printed on the way out.
  std::vector<std::string> stopServer() {
    server_.closeStdin();
    std::vector<std::string> lines;
    std::string line;
    while (server_.readLine(&line)) lines.push_back(line);
    EXPECT_EQ(0, server_.wait()) << "the server did not end cleanly";
    return lines;
  }
  ChildProcess server_;
};

TEST_F(ClientTest, BindingIsLocalAndOpenNeedsIt) {
  TrIfTranClient client(base::kProtocolCore);
  Receiver receiver;
  uint32_t code = 99;
  EXPECT_EQ(1, client.openChannel(someId(), &receiver));
  EXPECT_EQ(1, client.getOnlineDevices(&code));
  EXPECT_EQ(0u, code);

  ASSERT_EQ(0, client.bind());  // no server: binding still succeeds
  const plat::RpcBinding* binding = client.binding();
  EXPECT_EQ(0, client.bind());
  EXPECT_EQ(binding, client.binding());
  EXPECT_EQ("ncacn_np:[\\pipe\\zamoconnectionserver]", client.stringBinding());

  EXPECT_EQ(4, client.openChannel(someId(), &receiver));
  EXPECT_EQ(1722u, client.lastExceptionCode());
  EXPECT_FALSE(client.hasThread());
  EXPECT_EQ(4, client.getOnlineDevices(&code));
  EXPECT_EQ(1722u, code);

  client.unbind();
  EXPECT_FALSE(client.isBound());
  EXPECT_EQ(1, client.openChannel(someId(), &receiver));
}

TEST_F(ClientTest, ServerRefusalsComeBackUnchanged) {
  ASSERT_TRUE(startServer({"--open", "refuse"}));  // result = the protocol id asked for
  for (uint8_t refusal : {1, 2, 3}) {
    TrIfTranClient client;
    Receiver receiver;
    ASSERT_EQ(0, client.bind());
    EXPECT_EQ(int(refusal), client.openChannel(someId(), refusal, &receiver));
    EXPECT_EQ(0u, client.lastExceptionCode());
    EXPECT_FALSE(client.hasThread());
    EXPECT_EQ("open " + std::to_string(refusal) + " 64 " + kSomeIdHex, nextLine());
  }
  // The library's own id goes out when none is given.
  TrIfTranClient scope(base::kProtocolScope);
  Receiver receiver;
  ASSERT_EQ(0, scope.bind());
  EXPECT_EQ(5, scope.openChannel(someId(), &receiver));
  EXPECT_EQ(std::string("open 5 64 ") + kSomeIdHex, nextLine());
}

TEST_F(ClientTest, OnlineDevicesReplaceTheList) {
  ASSERT_TRUE(startServer({"--callbacks", "3,0"}));
  TrIfTranClient client;
  ASSERT_EQ(0, client.bind());
  HwId stale = someId();
  client.storeDeviceList(1, &stale);
  uint32_t code = 99;
  ASSERT_EQ(0, client.getOnlineDevices(&code));
  EXPECT_EQ(0u, code);
  EXPECT_THAT(client.deviceList(), ::testing::ElementsAre(deviceId(0), deviceId(1), deviceId(2)));
  EXPECT_EQ("devices 0", nextLine());
  ASSERT_EQ(0, client.getOnlineDevices(&code));
  EXPECT_TRUE(client.deviceList().empty());
  EXPECT_EQ("devices 0", nextLine());
}

TEST_F(ClientTest, BadCallbacksAreFaultedAndNeverTrusted) {
  ASSERT_TRUE(startServer({"--callbacks", "forged,short,long,negative,number,2"}));
  TrIfTranClient client;
  ASSERT_EQ(0, client.bind());
  HwId marker = someId();
  client.storeDeviceList(1, &marker);
  struct Case {
    const char* what;
    const char* serverSaw;
  } cases[] = {
      {"forged cookie", "devices 87"},           {"payload one byte short", "devices 1783"},
      {"payload one byte long", "devices 1783"}, {"negative count", "devices 1783"},
      {"unknown callback", "devices 1745"},
  };
  for (const Case& c : cases) {
    uint32_t code = 99;
    // The server's procedure completes and reports the failed callback.
    EXPECT_EQ(4, client.getOnlineDevices(&code)) << c.what;
    EXPECT_EQ(0u, code) << c.what;
    EXPECT_EQ(c.serverSaw, nextLine()) << c.what;
    EXPECT_THAT(client.deviceList(), ::testing::ElementsAre(marker)) << c.what;
  }
  uint32_t code = 99;
  EXPECT_EQ(0, client.getOnlineDevices(&code));
  EXPECT_THAT(client.deviceList(), ::testing::ElementsAre(deviceId(0), deviceId(1)));
}

TEST_F(ClientTest, ServerGoneInTheMiddleOfTheCallIsCallFailed) {
  ASSERT_TRUE(startServer({"--open", "die"}));
  TrIfTranClient client;
  Receiver receiver;
  ASSERT_EQ(0, client.bind());
  EXPECT_EQ(4, client.openChannel(someId(), base::kProtocolCore, &receiver));
  EXPECT_EQ(1726u, client.lastExceptionCode());
  EXPECT_FALSE(client.hasThread());
  EXPECT_EQ(3, server_.wait());
}

TEST_F(ClientTest, OpenedChannelCarriesMessagesBothWays) {
  ASSERT_TRUE(startServer({"--open", "pipe"}));
  TrIfTranClient client(base::kProtocolCore);
  Receiver receiver;
  ASSERT_EQ(0, client.bind());
  ASSERT_EQ(0, client.openChannel(someId(), &receiver));
  EXPECT_EQ("\\\\.\\pipe\\zamoconnectionserver_\\00000000", client.pipeName());
  EXPECT_EQ(std::string("open 1 64 ") + kSomeIdHex, nextLine());
  EXPECT_FALSE(client.connectResult.timedWait(20000));
  ASSERT_EQ(0, client.notConnected.load());
  EXPECT_EQ(3, client.openChannel(someId(), &receiver));  // thread running

  // Three chunks each way.
  std::vector<uint8_t> request(2500);
  for (size_t i = 0; i < request.size(); ++i) request[i] = uint8_t(i * 13 + 5);
  MessageWriter writer;
  writer.putBytes(request.data(), request.size());
  ASSERT_TRUE(writer.send(&client));
  ASSERT_TRUE(receiver.waitMessages(1));
  std::vector<uint8_t> expected = request;
  expected[0] += 1;
  EXPECT_TRUE(receiver.messages()[0] == expected);

  client.close(true);
  EXPECT_EQ(1, receiver.closes());
  // The body returns just after the loop; the thread is not joined: still no
  // second open.
  for (int i = 0; i < 2000 && client.isRunning(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(client.isRunning());
  EXPECT_TRUE(client.hasThread());
  EXPECT_EQ(3, client.openChannel(someId(), &receiver));
  client.unbind();

  std::vector<std::string> lines = stopServer();
  EXPECT_THAT(lines, ::testing::Contains("channel closed"));
  EXPECT_EQ(0, std::count_if(lines.begin(), lines.end(),
                             [](const std::string& l) { return l.rfind("open ", 0) == 0; }))
      << "a refused reopen must make no call";
}

TEST_F(ClientTest, ChannelEndedByTheServerEndsTheThreadButBlocksReopen) {
  ASSERT_TRUE(startServer({"--open", "pipe-close"}));
  TrIfTranClient client(base::kProtocolStatus);
  Receiver receiver;
  ASSERT_EQ(0, client.bind());
  ASSERT_EQ(0, client.openChannel(someId(), &receiver));
  EXPECT_FALSE(client.connectResult.timedWait(20000));
  ASSERT_EQ(0, client.notConnected.load());
  MessageWriter writer;
  writer.putU8(0x10);
  ASSERT_TRUE(writer.send(&client));
  ASSERT_TRUE(receiver.waitMessages(1));
  EXPECT_THAT(receiver.messages()[0], ::testing::ElementsAre(0x11));
  ASSERT_TRUE(receiver.waitClosed());
  for (int i = 0; i < 2000 && client.isRunning(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(client.isRunning());
  EXPECT_EQ(3, client.openChannel(someId(), &receiver));
  EXPECT_EQ(1, receiver.closes());
}

TEST_F(ClientTest, NamedPipeNobodyListensOnFailsTheConnect) {
  ASSERT_TRUE(startServer({"--open", "absent"}));
  TrIfTranClient client(base::kProtocolCore);
  Receiver receiver;
  ASSERT_EQ(0, client.bind());
  ASSERT_EQ(0, client.openChannel(someId(), &receiver));
  EXPECT_FALSE(client.connectResult.timedWait(20000));
  EXPECT_EQ(1, client.notConnected.load());
  client.join();
  EXPECT_EQ(0, receiver.closes());
  EXPECT_TRUE(receiver.messages().empty());
}

TEST_F(ClientTest, DestroyingAConnectedClientEndsItsChannel) {
  ASSERT_TRUE(startServer({"--open", "pipe"}));
  Receiver receiver;
  {
    TrIfTranClient client(base::kProtocolCore);
    ASSERT_EQ(0, client.bind());
    ASSERT_EQ(0, client.openChannel(someId(), &receiver));
    EXPECT_FALSE(client.connectResult.timedWait(20000));
    ASSERT_EQ(0, client.notConnected.load());
  }
  EXPECT_EQ(1, receiver.closes());
  EXPECT_EQ(std::string("open 1 64 ") + kSomeIdHex, nextLine());
  EXPECT_EQ("channel closed", nextLine());  // the server saw its end go
}

TEST_F(ClientTest, ChooserAnswerOrTheIdThatWentIn) {
  ASSERT_TRUE(startServer({}));
  plat::RpcBinding binding;
  uint32_t code = 99;
  HwId id = someId();
  EXPECT_EQ(0, AskUserDeviceSelection(binding, &id, 1, &code));
  EXPECT_EQ(0u, code);
  HwId next = someId();
  for (uint8_t& b : next.id) ++b;
  EXPECT_EQ(next, id);
  EXPECT_EQ("select 1", nextLine());

  id = someId();
  EXPECT_EQ(5, AskUserDeviceSelection(binding, &id, 0x1234567890ull, &code));
  EXPECT_EQ(someId(), id);
  EXPECT_EQ("select 78187493520", nextLine());

  // The reserved procedures do nothing and say 0.
  uint8_t buffer[4] = {1, 2, 3, 4};
  int16_t length = 4;
  EXPECT_EQ(0, ReservedProc1(binding, &id, &length, buffer, &code));
  EXPECT_EQ(4, length);
  EXPECT_EQ(0, ReservedProc2(binding, &id, 4, buffer, &code));
}

TEST_F(ClientTest, ManyClientsAskAtOnce) {
  ASSERT_TRUE(startServer({"--callbacks", "3"}));
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 24; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        TrIfTranClient client;
        uint32_t code = 0;
        if (client.bind() != 0 || client.getOnlineDevices(&code) != 0 ||
            client.deviceList() != std::vector<HwId>{deviceId(0), deviceId(1), deviceId(2)})
          ++wrong;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, wrong.load());
}

}  // namespace
