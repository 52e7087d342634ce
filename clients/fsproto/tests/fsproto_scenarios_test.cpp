// fsproto against a device serving the devsim file server: round trips,
// listings, busy answers and every failure, each with exactly one outcome
// and nothing after it.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "FileDevice.h"
#include "fsproto/fsproto.h"
#include "plat/runtime.h"
#include "svcwire/FileServerWire.h"
#include "testsupport/Files.h"

using translayer::HwId;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using devsim::FileServerFaults;
using devsim::FileServerState;

constexpr int kOutcomeWaitMs = 60000;

struct Event {
  int event = 0;
  int32_t a = 0, b = 0;
  FSrvDirEntry row{};
  std::thread::id thread;
  Clock::time_point at;
};

// Records every callback; the user pointer is the recorder.
class Recorder {
 public:
  static void callback(void* user, int event, const void* data, size_t length) {
    static_cast<Recorder*>(user)->take(event, data, length);
  }
  bool waitOutcome(int ms = kOutcomeWaitMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms),
                        [this] { return outcomesLocked() > 0; });
  }
  std::vector<Event> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  size_t outcomes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcomesLocked();
  }
  Event outcome() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Event& e : events_)
      if (e.event == 1 || e.event == 2) return e;
    return {};
  }
  std::vector<Event> progress() const {
    std::vector<Event> out;
    for (const Event& e : events())
      if (e.event == 3) out.push_back(e);
    return out;
  }

 private:
  size_t outcomesLocked() const {
    size_t n = 0;
    for (const Event& e : events_) n += e.event == 1 || e.event == 2;
    return n;
  }
  void take(int event, const void* data, size_t length) {
    Event e;
    e.event = event;
    e.thread = std::this_thread::get_id();
    e.at = Clock::now();
    if (event == 4 && length == sizeof(FSrvDirEntry)) std::memcpy(&e.row, data, sizeof e.row);
    if ((event == 1 || event == 2) && length == 4) std::memcpy(&e.a, data, 4);
    if (event == 3 && length == 8) {
      std::memcpy(&e.a, data, 4);
      std::memcpy(&e.b, static_cast<const uint8_t*>(data) + 4, 4);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(e);
    }
    cv_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Event> events_;
};

using testfiles::pattern;
using testfiles::readFile;
using testfiles::writeFile;

std::vector<std::string> tree(const fs::path& root) {
  // Entries may vanish while they are listed (the device removes its
  // temporary files on its own time): names are taken as listed, with no
  // second look at the file system.
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
    out.push_back(it->path().lexically_relative(root).string());
  std::sort(out.begin(), out.end());
  return out;
}

long msBetween(Clock::time_point a, Clock::time_point b) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

class FsprotoScenarios : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_ = plat::makeTempDir("fsproto-");
    ASSERT_FALSE(runtime_.empty());
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", runtime_.string());
    storage_ = runtime_ / "storage";
    local_ = runtime_ / "local";
    fs::create_directories(storage_ / "root");
    fs::create_directories(storage_ / "data");
    fs::create_directories(local_);
    device_ = fsproto_test::makeFileDevice();
    state_ = device_->start(id_, {{"root", storage_ / "root"}, {"data", storage_ / "data"}});
    ASSERT_TRUE(state_);
  }
  void TearDown() override {
    ProtFSrvCleanup();
    device_.reset();
    std::error_code ec;
    fs::remove_all(runtime_, ec);
  }

  bool download(Recorder& r, const fs::path& local, const std::string& remote,
                const std::string& volume = "root", int attributes = 0) {
    return ProtFSrvDownload(id_.id, 16, Recorder::callback, &r, volume.c_str(),
                            local.string().c_str(), remote.c_str(), attributes);
  }
  bool upload(Recorder& r, const std::string& remote, const fs::path& local,
              const std::string& volume = "root") {
    return ProtFSrvUpload(id_.id, 16, Recorder::callback, &r, volume.c_str(), remote.c_str(),
                          local.string().c_str());
  }
  bool dir(Recorder& r, const std::string& volume = "root") {
    return ProtFSrvDir(id_.id, 16, Recorder::callback, &r, volume.c_str());
  }

  // The transfer's outcome, after which the library has nothing more to say:
  // the cleanup waits for every thread, so a late event would show.
  Event finish(Recorder& r) {
    EXPECT_TRUE(r.waitOutcome());
    const size_t seen = r.events().size();
    ProtFSrvCleanup();
    EXPECT_EQ(r.events().size(), seen) << "events after the outcome";
    EXPECT_EQ(r.outcomes(), 1u);
    return r.outcome();
  }

  void expectFailure(Recorder& r, int32_t code) {
    const Event e = finish(r);
    EXPECT_EQ(e.event, 2);
    EXPECT_EQ(e.a, code);
  }

  fs::path runtime_, storage_, local_;
  HwId id_ = [] {
    HwId id;
    for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(0x60 + i);
    return id;
  }();
  std::shared_ptr<FileServerState> state_;
  std::unique_ptr<fsproto_test::FileDevice> device_;
};

void expectProgress(const Recorder& r, int32_t size) {
  const std::vector<Event> p = r.progress();
  ASSERT_FALSE(p.empty());
  EXPECT_EQ(p.front().a, 0);
  EXPECT_EQ(p.back().a, size);
  for (size_t i = 1; i + 1 < p.size(); ++i) {
    // The library reads its clock a moment before the callback runs, so the
    // recorded gaps get some slack; a burst after a stall shows as gaps
    // near 0 all the same.
    EXPECT_GE(msBetween(p[i - 1].at, p[i].at), 200) << "periodic report " << i;
    EXPECT_LE(p[i - 1].a, p[i].a);
  }
}

TEST_F(FsprotoScenarios, RoundTripsAreByteExact) {
  // Acknowledging every 512 bytes shows a host that sends past its window.
  devsim::FileServerConfig config = state_->config();
  config.acknowledgeEvery = 512;
  state_->configure(config);
  for (size_t size : {size_t(0), size_t(1), size_t(1023), size_t(1024), size_t(1025), size_t(3000),
                      size_t(1) << 20}) {
    SCOPED_TRACE(size);
    const auto bytes = pattern(size, uint8_t(size));
    const fs::path source = local_ / "source.bin", back = local_ / "back.bin";
    writeFile(source, bytes);
    fs::remove(back);

    Recorder down;
    ASSERT_TRUE(download(down, source, "f.bin", "root", 0x21));
    const Event d = finish(down);
    ASSERT_EQ(d.event, 1) << d.a;
    EXPECT_EQ(d.a, 0);
    EXPECT_EQ(readFile(storage_ / "root" / "f.bin"), bytes);
    expectProgress(down, int32_t(size));

    Recorder up;
    ASSERT_TRUE(upload(up, "f.bin", back));
    const Event u = finish(up);
    ASSERT_EQ(u.event, 1) << u.a;
    EXPECT_EQ(readFile(back), bytes);
    expectProgress(up, int32_t(size));
    // Nothing but the two files is left behind, on either side.
    EXPECT_EQ(tree(local_), (std::vector<std::string>{"back.bin", "source.bin"}));
    EXPECT_EQ(tree(storage_), (std::vector<std::string>{"data", "root", "root/f.bin"}));
  }
  EXPECT_GT(state_->largestUnacknowledged(), 0);
  EXPECT_LE(state_->largestUnacknowledged(), 1024);
}

TEST_F(FsprotoScenarios, ListingGivesTheRowsOfTheVolume) {
  const std::string longest(31, 'L');
  writeFile(storage_ / "root" / longest, pattern(5));
  writeFile(storage_ / "root" / "a.txt", pattern(1234));
  writeFile(storage_ / "data" / "other", pattern(1));
  Recorder r;
  ASSERT_TRUE(dir(r));
  const Event e = finish(r);
  ASSERT_EQ(e.event, 1);
  EXPECT_EQ(e.a, 2);
  std::vector<std::pair<std::string, int32_t>> rows;
  for (const Event& ev : r.events())
    if (ev.event == 4) rows.emplace_back(ev.row.name, ev.row.size);
  EXPECT_EQ(rows, (std::vector<std::pair<std::string, int32_t>>{{longest, 5}, {"a.txt", 1234}}));

  Recorder other;
  ASSERT_TRUE(dir(other, "data"));
  EXPECT_EQ(finish(other).a, 1);
}

TEST_F(FsprotoScenarios, BadListingsAreProtocolErrors) {
  writeFile(storage_ / "root" / "a.txt", pattern(3));
  FileServerFaults longName;
  longName.longName = true;
  FileServerFaults countHigh;
  countHigh.listingCountOffset = 1;
  FileServerFaults countLow;
  countLow.listingCountOffset = -1;
  for (const FileServerFaults& f : {longName, countHigh, countLow}) {
    state_->setFaults(f);
    Recorder r;
    ASSERT_TRUE(dir(r));
    expectFailure(r, -127);
    for (const Event& e : r.events()) EXPECT_NE(e.event, 4) << "a row before a failure";
  }
}

TEST_F(FsprotoScenarios, BusyAnswersAreRetried) {
  const auto bytes = pattern(5000);
  writeFile(local_ / "src", bytes);
  struct Case {
    uint32_t busy;
    uint32_t delayMs;
    int32_t expected;  // 0 finished, else the failure
    size_t requests;
  };
  for (const Case& c : {Case{3, 0, 0, 4}, Case{17, 0, -11, 17}, Case{1, 400, 0, 2}}) {
    SCOPED_TRACE(c.busy);
    fs::remove(storage_ / "root" / "f");
    state_->clearRecords();
    FileServerFaults f;
    f.busyCount = c.busy;
    f.acceptDelayMs = c.delayMs;
    state_->setFaults(f);
    Recorder r;
    ASSERT_TRUE(download(r, local_ / "src", "f"));
    const Event e = finish(r);
    EXPECT_EQ(state_->requestCount(svcwire::filesrv::kDownloadRequest), c.requests);
    if (c.expected == 0) {
      EXPECT_EQ(e.event, 1);
      EXPECT_EQ(readFile(storage_ / "root" / "f"), bytes);
    } else {
      EXPECT_EQ(e.event, 2);
      EXPECT_EQ(e.a, c.expected);
      EXPECT_FALSE(fs::exists(storage_ / "root" / "f"));
    }
  }
}

TEST_F(FsprotoScenarios, NoChannelIsReportedOnTheCallersThread) {
  HwId unknown{};
  unknown.id[0] = 0xEE;
  Recorder r;
  EXPECT_FALSE(ProtFSrvDir(unknown.id, 16, Recorder::callback, &r, "root"));
  ASSERT_EQ(r.outcomes(), 1u) << "reported before returning";
  EXPECT_EQ(r.outcome().a, -107);
  EXPECT_EQ(r.outcome().thread, std::this_thread::get_id());

  device_->exhaustChannels();
  Recorder full;
  EXPECT_FALSE(dir(full));
  ASSERT_EQ(full.outcomes(), 1u);
  EXPECT_EQ(full.outcome().a, -107);
  EXPECT_EQ(full.outcome().thread, std::this_thread::get_id());

  device_->stopServer();
  Recorder stopped;
  EXPECT_FALSE(dir(stopped));
  ASSERT_EQ(stopped.outcomes(), 1u);
  EXPECT_EQ(stopped.outcome().a, -107);
  EXPECT_EQ(stopped.outcome().thread, std::this_thread::get_id());
}

TEST_F(FsprotoScenarios, LocalSourceMustBeAReadableRegularFile) {
  for (const fs::path& source : {local_ / "missing", local_}) {
    Recorder r;
    EXPECT_FALSE(download(r, source, "f"));
    ASSERT_EQ(r.outcomes(), 1u);
    EXPECT_EQ(r.outcome().a, -2);
    EXPECT_EQ(r.outcome().thread, std::this_thread::get_id());
  }
  EXPECT_EQ(state_->requests().size(), 0u) << "nothing asked of the device";
}

TEST_F(FsprotoScenarios, SilentDeviceTimesOutAfterFourSeconds) {
  FileServerFaults f;
  f.silent = true;
  state_->setFaults(f);
  Recorder r;
  const Clock::time_point start = Clock::now();
  ASSERT_TRUE(dir(r));
  const Event e = finish(r);
  EXPECT_EQ(e.a, -138);
  EXPECT_GE(msBetween(start, e.at), 4000);
  EXPECT_LT(msBetween(start, e.at), 10000);
}

TEST_F(FsprotoScenarios, DeviceFailuresMidTransfer) {
  writeFile(local_ / "src", pattern(16 * 1024));
  writeFile(storage_ / "root" / "big", pattern(200 * 1024));
  writeFile(storage_ / "root" / "old", pattern(10, 1));
  struct Case {
    const char* what;
    FileServerFaults faults;
    bool isUpload;
    std::string remote;
    int32_t expected;
  };
  FileServerFaults closeDown, closeUp, noSpace, stopAck, ackBeyond, ackBehind, shortUp, longUp,
      wrongCode, wrongLength;
  closeDown.closeAfter = 2048;
  closeUp.closeAfter = 4096;
  noSpace.noSpaceAfter = 4096;
  stopAck.stopAcknowledgingAfter = 2048;
  ackBeyond.acknowledgeOffset = 1;
  ackBehind.acknowledgeBackwards = true;
  shortUp.uploadLengthOffset = -1;
  longUp.uploadLengthOffset = 1;
  wrongCode.wrongCode = true;
  wrongLength.wrongLength = true;
  const Case cases[] = {
      {"download channel closed", closeDown, false, "old", -108},
      {"upload channel closed", closeUp, true, "big", -108},
      {"no space after 4 KiB", noSpace, false, "old", -28},
      {"acknowledgements stop", stopAck, false, "old", -138},
      // A device that acknowledges wrongly may still have stored the whole
      // file: what it keeps is its own business.
      {"acknowledged beyond", ackBeyond, false, "scratch", -127},
      {"acknowledged behind", ackBehind, false, "scratch", -127},
      {"upload one byte short", shortUp, true, "big", -127},
      {"upload one byte long", longUp, true, "big", -127},
      {"wrong reply code", wrongCode, false, "old", -127},
      {"wrong reply length", wrongLength, true, "big", -127},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    state_->setFaults(c.faults);
    Recorder r;
    if (c.isUpload)
      ASSERT_TRUE(upload(r, c.remote, local_ / "got"));
    else
      ASSERT_TRUE(download(r, local_ / "src", c.remote));
    expectFailure(r, c.expected);
    state_->clearFaults();
    // Neither side keeps a piece: no local file, the device's old file intact.
    EXPECT_FALSE(fs::exists(local_ / "got"));
    EXPECT_EQ(readFile(storage_ / "root" / "old"), pattern(10, 1));
    fs::remove(storage_ / "root" / "scratch");
    // The device notices the end of the channel on its own time.
    for (int i = 0; i < 1000 && tree(storage_).size() != 4; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(tree(storage_), (std::vector<std::string>{"data", "root", "root/big", "root/old"}));
  }
}

TEST_F(FsprotoScenarios, DevicePulledMidTransferIsConnectionReset) {
  writeFile(local_ / "src", pattern(64 * 1024));
  // The transfer stalls once 4 KiB are stored, and the device is pulled.
  FileServerFaults stall;
  stall.stopAcknowledgingAfter = 4096;
  state_->setFaults(stall);
  Recorder r;
  ASSERT_TRUE(download(r, local_ / "src", "f"));
  for (int i = 0; i < 3000 && r.progress().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const Clock::time_point pulled = Clock::now();
  device_->pull();
  const Event e = finish(r);
  EXPECT_EQ(e.a, -108);
  EXPECT_LT(msBetween(pulled, e.at), 4000) << "seen as the end of the channel, not a time-out";
}

TEST_F(FsprotoScenarios, CleanupDuringATransferEndsItOnce) {
  FileServerFaults f;
  f.silent = true;
  state_->setFaults(f);
  Recorder r;
  ASSERT_TRUE(dir(r));
  ProtFSrvCleanup();
  ASSERT_EQ(r.outcomes(), 1u) << "the cleanup waits for the outcome";
  EXPECT_EQ(r.outcome().a, -108);
  ProtFSrvCleanup();
  EXPECT_EQ(r.events().size(), 1u);
}

TEST_F(FsprotoScenarios, NamesNeverLeaveTheVolume) {
  writeFile(local_ / "src", pattern(100));
  for (const char* name : {"..", "../x", "a/b", "", ".", "..\\x"}) {
    SCOPED_TRACE(name);
    Recorder down;
    ASSERT_TRUE(download(down, local_ / "src", name));
    expectFailure(down, -22);
    Recorder up;
    ASSERT_TRUE(upload(up, name, local_ / "got"));
    expectFailure(up, -22);
  }
  EXPECT_EQ(tree(storage_), (std::vector<std::string>{"data", "root"}));
  EXPECT_FALSE(fs::exists(storage_ / "x"));
  EXPECT_FALSE(fs::exists(local_ / "got"));
}

TEST_F(FsprotoScenarios, UnlinkRemovesOrSaysNoSuchFile) {
  writeFile(storage_ / "root" / "gone", pattern(3));
  Recorder r;
  ASSERT_TRUE(ProtFSrvUnlink(id_.id, 16, Recorder::callback, &r, "root", "gone"));
  EXPECT_EQ(finish(r).event, 1);
  EXPECT_FALSE(fs::exists(storage_ / "root" / "gone"));
  Recorder again;
  ASSERT_TRUE(ProtFSrvUnlink(id_.id, 16, Recorder::callback, &again, "root", "gone"));
  expectFailure(again, -2);
  Recorder volume;
  ASSERT_TRUE(ProtFSrvUnlink(id_.id, 16, Recorder::callback, &volume, "nope", "gone"));
  expectFailure(volume, -19);
}

// A device that speaks as soon as the channel opens, with what looks like
// the reply: whichever comes first on the pipe, each transfer ends once, and
// one that heard the device before asking asks it nothing.
TEST_F(FsprotoScenarios, DeviceSpeakingBeforeTheRequestEndsEachTransferOnce) {
  namespace wire = svcwire::filesrv;
  writeFile(local_ / "src", pattern(3000));
  writeFile(storage_ / "root" / "up", pattern(2000));
  struct Case {
    const char* what;
    uint8_t reply;
    uint8_t request;
    // A refusal can only be the message that came first: the device was
    // asked nothing (else a refusal may follow from the device's real reply).
    bool refusedMeansUnasked;
  };
  const Case cases[] = {
      {"download", wire::kDownloadReply, wire::kDownloadRequest, true},
      {"upload", wire::kUploadReply, wire::kUploadRequest, false},
      {"listing", wire::kDirReply, wire::kDirRequest, false},
      {"unlink", wire::kUnlinkReply, wire::kUnlinkRequest, true},
  };
  constexpr int kRounds = 10;
  for (const Case& c : cases) {
    for (int round = 0; round < kRounds; ++round) {
      SCOPED_TRACE(std::string(c.what) + " round " + std::to_string(round));
      // A name per round: the device may still be busy with the last one.
      const std::string name = "f" + std::to_string(round);
      writeFile(storage_ / "root" / name, pattern(3));
      fs::remove(local_ / "got");
      FileServerFaults f;
      f.greeting = wire::encodeReply(c.reply, 0);
      state_->setFaults(f);
      Recorder r;
      switch (c.request) {
        case wire::kDownloadRequest:
          ASSERT_TRUE(download(r, local_ / "src", name));
          break;
        case wire::kUploadRequest:
          ASSERT_TRUE(upload(r, name, local_ / "got"));
          break;
        case wire::kDirRequest:
          ASSERT_TRUE(dir(r));
          break;
        default:
          ASSERT_TRUE(ProtFSrvUnlink(id_.id, 16, Recorder::callback, &r, "root", name.c_str()));
          break;
      }
      const Event e = finish(r);
      if (e.event == 1) continue;
      ASSERT_EQ(e.event, 2);
      EXPECT_EQ(e.a, -127);
      EXPECT_FALSE(fs::exists(local_ / "got")) << "a refused upload left a file";
      for (const Event& ev : r.events()) EXPECT_NE(ev.event, 4) << "a row before a failure";
      if (!c.refusedMeansUnasked) continue;
      for (const devsim::FileServerRecord& q : state_->requests())
        EXPECT_FALSE(q.code == c.request && q.name == name) << "asked after the failure";
      EXPECT_EQ(readFile(storage_ / "root" / name), pattern(3));
    }
  }
}

TEST_F(FsprotoScenarios, NullCallbackHearsNothingAndStillRuns) {
  writeFile(local_ / "src", pattern(10));
  ASSERT_TRUE(
      ProtFSrvDownload(id_.id, 16, nullptr, nullptr, "root", (local_ / "src").c_str(), "n", 0));
  for (int i = 0; i < 3000 && !fs::exists(storage_ / "root" / "n"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ProtFSrvCleanup();
  EXPECT_EQ(readFile(storage_ / "root" / "n"), pattern(10));
}

TEST(FsprotoErrors, TranslateErrorKnowsItsTableOnly) {
  const std::pair<int, const char*> known[] = {
      {-2, "No such file (ENOENT)"},
      {-5, "Input/output error (EIO)"},
      {-9, "Bad file descriptor (EBADF)"},
      {-11, "Resource temporarily unavailable (EAGAIN)"},
      {-16, "Device or resource busy (EBUSY)"},
      {-17, "File exists (EEXIST)"},
      {-19, "No such device (ENODEV)"},
      {-22, "Invalid argument (EINVAL)"},
      {-28, "No space left on device (ENOSPC)"},
      {-107, "connection refused (ECONNREFUSED)"},
      {-108, "connection reset by remote party (ECONNRESET)"},
  };
  for (const auto& [code, text] : known) EXPECT_STREQ(ProtFSrvTranslateError(code), text);
  for (int code : {-127, -138, 0, 1, -1, -27, 2}) EXPECT_EQ(ProtFSrvTranslateError(code), nullptr);
}

}  // namespace
