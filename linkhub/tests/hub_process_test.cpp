// The linkhub program as a process, with a private runtime directory and
// registry file, and emulated devices from the simulated media plug-in.
#include <gtest/gtest.h>

#include "hub_program.h"
#include "plat/msgpipe.h"

using namespace hubtest;

namespace {

constexpr const char* kMissingKey = "Failed on opening configuration registry";

class ProcessTest : public HubProgramTest {
 protected:
  void SetUp() override {
    HubProgramTest::SetUp();
    plat::setEnvironment("SIMMEDIA_DEVICES", hexOf(device_) + "," + hexOf(other_));
    plat::setEnvironment("SIMMEDIA_CHANNELS", "2");
  }
  // The server answers and lists both devices.
  bool serving() { return onlineCount() == 2; }
  bool noSocketLeft() {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(runtimeDir(), ec);
         it != std::filesystem::recursive_directory_iterator(); ++it)
      if (it->is_socket()) {
        ADD_FAILURE() << "left behind: " << it->path();
        return false;
      }
    return true;
  }

  const HwId device_ = makeId(0x11), other_ = makeId(0x81);
};

TEST_F(ProcessTest, ASecondInstanceEndsAtOnceWithoutAMessage) {
  writeRegistry({{"sim", SIMMEDIA_MODULE}});
  plat::test::ChildProcess first;
  ASSERT_TRUE(startHub(first));
  ASSERT_TRUE(eventually([&] { return serving(); }));

  plat::test::ChildProcess second;
  ASSERT_TRUE(startHub(second));
  EXPECT_EQ(0, second.wait());
  std::string line;
  EXPECT_FALSE(second.readLine(&line, 1000)) << line;
  EXPECT_TRUE(serving());

  ASSERT_EQ(0, signal(first, "-TERM"));
  EXPECT_EQ(0, first.wait());
}

TEST_F(ProcessTest, AMissingMediaKeyIsOneFatalLineAndAFailingExit) {
  writeRegistry({}, "linkhub", false);
  plat::test::ChildProcess hub;
  ASSERT_TRUE(startHub(hub));
  const int status = hub.wait();
  EXPECT_NE(0, status);
  EXPECT_EQ(255, status);
  std::string line;
  ASSERT_TRUE(hub.readLine(&line, 1000));
  EXPECT_EQ(0u, line.rfind(kMissingKey, 0)) << line;
  EXPECT_FALSE(hub.readLine(&line, 500)) << "more than one line: " << line;
}

TEST_F(ProcessTest, OpenChannelResultsAndAnEcho) {
  writeRegistry({{"sim", SIMMEDIA_MODULE}});
  plat::test::ChildProcess hub;
  ASSERT_TRUE(startHub(hub));
  ASSERT_TRUE(eventually([&] { return serving(); }));

  auto open = [&](const HwId& id, int16_t size, std::string* name = nullptr) {
    char buffer[kPipeNameBuffer] = {};
    uint32_t exception = 0;
    const int rc = OpenChannel(binding_, &id, kProtocolBenchmark, size, buffer, &exception);
    EXPECT_EQ(0u, exception);
    if (name) *name = buffer;
    return rc;
  };
  const int16_t length = int16_t(std::string("\\\\.\\\\pipe\\zamoconnectionserver_\\00000000").size());
  std::string name;
  EXPECT_EQ(2, open(makeId(0x55), kPipeNameBuffer));
  EXPECT_EQ(1, open(device_, length));
  ASSERT_EQ(0, open(device_, int16_t(length + 1), &name));
  EXPECT_EQ("\\\\.\\\\pipe\\zamoconnectionserver_\\00000001", name);

  // The device has two channels; one is held by the pipe above (a client
  // that connects and stays silent), one goes to this client, then none is
  // left.
  plat::Handle silent = plat::kInvalidHandle;
  ASSERT_EQ(0, plat::pipeConnect(name, &silent));
  ClientChannel channel;
  ASSERT_EQ(0, channel.open(device_));
  EXPECT_TRUE(channel.echo(pattern(3000, 5)));
  EXPECT_TRUE(channel.echo({0x7F}));
  EXPECT_EQ(3, open(device_, kPipeNameBuffer));
  EXPECT_EQ(0, open(other_, kPipeNameBuffer));
  plat::closeHandle(silent);

  ASSERT_EQ(0, signal(hub, "-TERM"));
  EXPECT_EQ(0, hub.wait());
}

// Both termination signals run the ordinary shutdown: the clients' pipes
// end, the program exits with 0 and leaves no socket behind.
TEST_F(ProcessTest, TerminationSignalsEndCleanlyWithOpenChannels) {
  writeRegistry({{"sim", SIMMEDIA_MODULE}});
  for (const char* which : {"-TERM", "-INT"}) {
    SCOPED_TRACE(which);
    plat::test::ChildProcess hub;
    ASSERT_TRUE(startHub(hub));
    ASSERT_TRUE(eventually([&] { return serving(); }));
    ClientChannel a, b;
    ASSERT_EQ(0, a.open(device_));
    ASSERT_EQ(0, b.open(other_));
    ASSERT_TRUE(a.echo({1, 2, 3}));
    a.send(pattern(10000, 3));  // in flight while the signal comes

    ASSERT_EQ(0, signal(hub, which));
    EXPECT_EQ(0, hub.wait());
    EXPECT_TRUE(a.sink.waitClosed());
    EXPECT_TRUE(b.sink.waitClosed());
    std::string line;
    EXPECT_FALSE(hub.readLine(&line, 200)) << line;
    EXPECT_TRUE(noSocketLeft());
  }
}

}  // namespace
