// The linkhub program as a process, with a private runtime directory and
// registry file, and emulated devices from the simulated media plug-in.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "hub_program.h"
#include "plat/msgpipe.h"
#include "plat/sysmsg.h"

using translayer::HwId;
using translayer::kPipeNameBuffer;

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

// The registry key is the program file's own name, whatever the program was
// started as: through a link of another name or under another argv[0] it
// still serves from the linkhub key; a copy of the file under another name
// looks for that name's key.
TEST_F(ProcessTest, TheRegistryKeyIsNamedAfterTheProgramFile) {
  writeRegistry({{"sim", SIMMEDIA_MODULE}});
  const std::string link = dir_ + "/otherhub";
  std::filesystem::create_symlink(LINKHUB_PROGRAM, link);
  const std::string copy = dir_ + "/copiedhub";
  std::filesystem::copy_file(LINKHUB_PROGRAM, copy);
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
  struct Case {
    const char* what;
    std::string program;
    std::string argv0;
    bool serves;
  } cases[] = {
      {"through a link of another name", link, link, true},
      {"under another argv[0]", LINKHUB_PROGRAM, "otherhub", true},
      {"a copy under another name", copy, copy, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    plat::test::ChildProcess hub;
    ASSERT_TRUE(hub.start("/bin/bash",
                          {"-c", "exec -a \"$1\" \"$0\" 2>&1 >/dev/null", c.program, c.argv0}));
    if (c.serves) {
      EXPECT_TRUE(eventually([&] { return serving(); }));
      ASSERT_EQ(0, signal(hub, "-TERM"));
      EXPECT_EQ(0, hub.wait());
      std::string line;
      EXPECT_FALSE(hub.readLine(&line, 200)) << line;
    } else {
      EXPECT_EQ(255, hub.wait());
      std::string line;
      ASSERT_TRUE(hub.readLine(&line, 1000));
      EXPECT_EQ(0u, line.rfind(kMissingKey, 0)) << line;
    }
  }
}

// A media library that cannot be used says why on the line before the fatal
// message, which stays as it was: "Failed opening <path>" with the text of
// code 2.
TEST_F(ProcessTest, AFailingMediaLibrarySaysWhyBeforeTheFatalLine) {
  const std::string notALibrary = runtimeDir() + "/notalibrary.so";
  {
    std::ofstream out(notALibrary);
    out << "this is text, not a shared object\n";
  }
  struct Case {
    const char* what;
    std::string path;
    std::string reason;  // part of the reason line
  } cases[] = {
      {"missing file", "/nonexistent/libnothing.so", "No such file or directory"},
      {"not a shared object", notALibrary, notALibrary},
      {"unresolved symbol", HUB_MEDIA_UNRESOLVED, "undefined symbol: hub_media_nowhere_defined"},
      {"missing export", HUB_MEDIA_NOENVDESTROY, "it does not export EnvDestroy"},
      {"refusing load hook", HUB_MEDIA_REFUSING, "its load hook refused the load"},
  };
  const std::string fileNotFound = plat::systemMessage(2);
  ASSERT_FALSE(fileNotFound.empty());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeRegistry({{"sim", SIMMEDIA_MODULE}, {"bad", c.path}});
    plat::test::ChildProcess hub;
    ASSERT_TRUE(startHub(hub));
    EXPECT_EQ(255, hub.wait());
    std::string reason, fatal, more;
    ASSERT_TRUE(hub.readLine(&reason, 1000));
    const std::string head = "linkhub: cannot load media library " + c.path + ": ";
    EXPECT_EQ(0u, reason.rfind(head, 0)) << reason;
    EXPECT_NE(std::string::npos, reason.find(c.reason, head.size())) << reason;
    ASSERT_TRUE(hub.readLine(&fatal, 1000));
    EXPECT_EQ("Failed opening " + c.path + ": " + fileNotFound, fatal);
    EXPECT_FALSE(hub.readLine(&more, 500)) << "more than two lines: " << more;
  }
}

TEST_F(ProcessTest, OpenChannelResultsAndAnEcho) {
  writeRegistry({{"sim", SIMMEDIA_MODULE}});
  plat::test::ChildProcess hub;
  ASSERT_TRUE(startHub(hub));
  ASSERT_TRUE(eventually([&] { return serving(); }));

  auto open = [&](const HwId& id, int16_t size, std::string* name = nullptr) {
    char buffer[kPipeNameBuffer] = {};
    uint32_t exception = 0;
    const int rc = OpenChannel(binding_, &id, base::kProtocolBenchmark, size, buffer, &exception);
    EXPECT_EQ(0u, exception);
    if (name) *name = buffer;
    return rc;
  };
  const int16_t length =
      int16_t(std::string("\\\\.\\\\pipe\\zamoconnectionserver_\\00000000").size());
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
