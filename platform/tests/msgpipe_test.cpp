#include "plat/msgpipe.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "plat/poll.h"
#include "plat/runtime.h"

namespace fs = std::filesystem;
using plat::Handle;
using plat::PipeIo;

namespace {

class MsgPipeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = plat::makeTempDir("pipes_mp_");
    ASSERT_FALSE(base_.empty());
    rt_ = base_ + "/rt";
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", rt_);
  }
  void TearDown() override {
    for (Handle h : open_) plat::closeHandle(h);
    std::error_code ec;
    fs::remove_all(base_, ec);
  }
  Handle keep(Handle h) {
    open_.push_back(h);
    return h;
  }
  // A connected pair through a named listener: {server end, client end}.
  std::pair<Handle, Handle> connectedPair(const std::string& name) {
    Handle listener = plat::kInvalidHandle, server = plat::kInvalidHandle,
           client = plat::kInvalidHandle;
    EXPECT_EQ(plat::pipeListen(name, &listener), 0);
    EXPECT_EQ(plat::pipeConnect(name, &client), 0);
    EXPECT_EQ(plat::pipeAccept(listener, &server, 5000), 0);
    return {keep(server), keep(client)};
  }
  // Reads one record, waiting for it (the handles are non-blocking).
  PipeIo readRecord(Handle h, std::vector<uint8_t>* out, size_t capacity = plat::kPipeRecordLimit) {
    out->assign(capacity, 0);
    size_t n = 0;
    PipeIo io;
    while ((io = plat::pipeRead(h, out->data(), capacity, &n)) == PipeIo::kWouldBlock) {
      plat::PollItem item{h, plat::kPollRead, 0};
      plat::pollHandles(&item, 1, 5000);
    }
    out->resize(n);
    return io;
  }
  std::string base_, rt_;
  std::vector<Handle> open_;
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7);
  return v;
}

TEST_F(MsgPipeTest, RecordsKeepTheirBoundariesBothWays) {
  const std::string name = "\\\\.\\pipe\\Tests\\Chan";
  Handle listener;
  ASSERT_EQ(plat::pipeListen(name, &listener), 0);
  const std::string file = rt_ + "/pipe/tests/chan";
  struct stat st;
  ASSERT_EQ(::lstat(file.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(fs::status(rt_ + "/pipe/tests").permissions() & fs::perms::all, fs::perms::owner_all);

  Handle client, server;
  ASSERT_EQ(plat::pipeConnect(name, &client), 0);
  keep(client);
  ASSERT_EQ(plat::pipeAccept(listener, &server, 5000), 0);
  keep(server);
  EXPECT_FALSE(fs::exists(file)) << "the listener's file goes once its peer is accepted";
  Handle late;
  EXPECT_EQ(plat::pipeConnect(name, &late), 2) << "one peer per listener";

  const size_t sizes[] = {1, 2, 1024, 1025, 1, 1025};
  for (auto [from, to] : {std::pair{client, server}, std::pair{server, client}}) {
    for (size_t i = 0; i < std::size(sizes); ++i) {
      auto data = pattern(sizes[i], uint8_t(i));
      size_t n = 0;
      ASSERT_EQ(plat::pipeWrite(from, data.data(), data.size(), &n), PipeIo::kDone);
      EXPECT_EQ(n, data.size());
    }
    for (size_t i = 0; i < std::size(sizes); ++i) {
      std::vector<uint8_t> got;
      ASSERT_EQ(readRecord(to, &got), PipeIo::kDone);
      EXPECT_EQ(got, pattern(sizes[i], uint8_t(i))) << "record " << i;
    }
    size_t n;
    uint8_t b;
    EXPECT_EQ(plat::pipeRead(to, &b, 1, &n), PipeIo::kWouldBlock);
  }
}

TEST_F(MsgPipeTest, OverlongRecordIsReportedNotCut) {
  auto [server, client] = connectedPair("\\pipe\\long");
  auto big = pattern(1026, 1);
  size_t n;
  ASSERT_EQ(plat::pipeWrite(client, big.data(), big.size(), &n), PipeIo::kDone);
  auto fits = pattern(1025, 2);
  ASSERT_EQ(plat::pipeWrite(client, fits.data(), fits.size(), &n), PipeIo::kDone);
  std::vector<uint8_t> got;
  EXPECT_EQ(readRecord(server, &got), PipeIo::kTooLong);
  EXPECT_EQ(readRecord(server, &got), PipeIo::kDone) << "the overlong record alone is dropped";
  EXPECT_EQ(got, fits);
}

TEST_F(MsgPipeTest, PeerCloseShowsAfterQueuedRecordsAndNeverRaisesSigpipe) {
  auto [server, client] = connectedPair("\\pipe\\close");
  auto data = pattern(10, 3);
  size_t n;
  ASSERT_EQ(plat::pipeWrite(client, data.data(), data.size(), &n), PipeIo::kDone);
  plat::closeHandle(client);
  open_.erase(std::find(open_.begin(), open_.end(), client));

  plat::PollItem item{server, plat::kPollRead, 0};
  ASSERT_EQ(plat::pollHandles(&item, 1, 5000), 1);
  EXPECT_TRUE(item.ready & plat::kPollHangup);
  std::vector<uint8_t> got;
  EXPECT_EQ(readRecord(server, &got), PipeIo::kDone) << "what was sent before the close arrives";
  EXPECT_EQ(got, data);
  EXPECT_EQ(readRecord(server, &got), PipeIo::kClosed);
  // A write to the gone peer reports the close; SIGPIPE would kill this test.
  EXPECT_EQ(plat::pipeWrite(server, data.data(), data.size(), &n), PipeIo::kClosed);
}

TEST_F(MsgPipeTest, EmptyRecordsAndBuffersAreRefused) {
  Handle a, b;
  ASSERT_EQ(plat::pipePair(&a, &b), 0);
  keep(a), keep(b);
  uint8_t byte = 0;
  size_t n = 99;
  EXPECT_EQ(plat::pipeWrite(a, &byte, 0, &n), PipeIo::kError);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(plat::pipeRead(b, &byte, 0, &n), PipeIo::kError);
  EXPECT_EQ(plat::pipeRead(b, &byte, 1, &n), PipeIo::kWouldBlock) << "nothing was sent";
}

// Batches of records: in order and whole, what ended a batch reported after
// the records before it, the pipe's room honoured record by record.
TEST_F(MsgPipeTest, BatchesMoveWholeRecordsInOrderAndStopWhereTheyMust) {
  struct Case {
    const char* name;
    std::vector<size_t> sent;  // record lengths written before the read
    size_t batch;              // records asked for
    size_t capacity;           // each read buffer
    bool closeAfter;           // the writer closes after sending
    PipeIo io;                 // the first read's result
    size_t done;               // records it read
  };
  const Case cases[] = {
      {"nothing there", {}, 4, 1025, false, PipeIo::kWouldBlock, 0},
      {"fewer than asked", {1, 1025, 7}, 8, 1025, false, PipeIo::kDone, 3},
      {"more than asked", {5, 6, 7, 8, 9}, 2, 1025, false, PipeIo::kDone, 2},
      {"close behind records", {3, 4}, 8, 1025, true, PipeIo::kClosed, 2},
      {"close alone", {}, 8, 1025, true, PipeIo::kClosed, 0},
      {"overlong behind records", {10, 30, 10}, 8, 20, false, PipeIo::kTooLong, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Handle a, b;
    ASSERT_EQ(plat::pipePair(&a, &b), 0);
    keep(b);
    std::vector<std::vector<uint8_t>> sent;
    std::vector<plat::PipeRecord> out;
    for (size_t i = 0; i < c.sent.size(); ++i) sent.push_back(pattern(c.sent[i], uint8_t(i)));
    for (auto& r : sent) out.push_back({r.data(), r.size(), 0});
    size_t written = 0;
    if (!out.empty()) {
      ASSERT_EQ(plat::pipeWriteMany(a, out.data(), out.size(), &written), PipeIo::kDone);
      ASSERT_EQ(written, out.size());
    }
    if (c.closeAfter)
      plat::closeHandle(a);
    else
      keep(a);
    std::vector<std::vector<uint8_t>> buffers(c.batch, std::vector<uint8_t>(c.capacity));
    std::vector<plat::PipeRecord> in;
    for (auto& buffer : buffers) in.push_back({buffer.data(), buffer.size(), 0});
    size_t done = 99;
    EXPECT_EQ(plat::pipeReadMany(b, in.data(), in.size(), &done), c.io);
    ASSERT_EQ(done, c.done);
    for (size_t i = 0; i < done; ++i)
      EXPECT_EQ(std::vector<uint8_t>(buffers[i].begin(), buffers[i].begin() + long(in[i].length)),
                sent[i])
          << "record " << i;
    if (c.io == PipeIo::kDone && c.done < c.sent.size()) {
      // The rest comes with the next batch.
      EXPECT_EQ(plat::pipeReadMany(b, in.data(), in.size(), &done), PipeIo::kDone);
      EXPECT_EQ(done, std::min(c.batch, c.sent.size() - c.done));
      EXPECT_EQ(std::vector<uint8_t>(buffers[0].begin(), buffers[0].begin() + long(in[0].length)),
                sent[c.done]);
    }
  }
}

TEST_F(MsgPipeTest, BatchWritesStopAtAFullPipeAndRefuseEmptyRecords) {
  Handle a, b;
  ASSERT_EQ(plat::pipePair(&a, &b), 0);
  keep(a);
  keep(b);
  std::vector<uint8_t> data(1025, 9);
  std::vector<plat::PipeRecord> batch(32, plat::PipeRecord{data.data(), data.size(), 0});
  size_t total = 0, done = 0;
  PipeIo io;
  // Fill the pipe: the batch that meets a full pipe moves what fits, then
  // none go.
  while ((io = plat::pipeWriteMany(a, batch.data(), batch.size(), &done)) == PipeIo::kDone) {
    total += done;
    if (done < batch.size()) break;
    ASSERT_LT(total, 100000u) << "the pipe never filled";
  }
  ASSERT_EQ(io, PipeIo::kDone);
  EXPECT_EQ(plat::pipeWriteMany(a, batch.data(), batch.size(), &done), PipeIo::kWouldBlock);
  EXPECT_EQ(done, 0u);
  // Every record that was said to go arrives whole.
  std::vector<uint8_t> buffer(1025);
  plat::PipeRecord in{buffer.data(), buffer.size(), 0};
  size_t read = 0;
  while (plat::pipeReadMany(b, &in, 1, &done) == PipeIo::kDone) {
    EXPECT_EQ(in.length, 1025u);
    read += done;
  }
  EXPECT_EQ(read, total);
  plat::PipeRecord empty{data.data(), 0, 0};
  EXPECT_EQ(plat::pipeWriteMany(a, &empty, 1, &done), PipeIo::kError);
  EXPECT_EQ(plat::pipeReadMany(b, &empty, 1, &done), PipeIo::kError);
}

TEST_F(MsgPipeTest, AcceptTimesOutAndAbandonRemovesTheName) {
  const std::string name = "\\pipe\\lonely";
  Handle listener, peer;
  ASSERT_EQ(plat::pipeListen(name, &listener), 0);
  EXPECT_EQ(plat::pipeAccept(listener, &peer, 50), 258);
  EXPECT_EQ(peer, plat::kInvalidHandle);
  EXPECT_TRUE(fs::exists(rt_ + "/pipe/lonely")) << "still listening after a time-out";
  plat::pipeAbandon(listener);
  EXPECT_FALSE(fs::exists(rt_ + "/pipe/lonely"));
  EXPECT_EQ(plat::pipeConnect(name, &peer), 2);
}

TEST_F(MsgPipeTest, ConnectErrors) {
  Handle h;
  EXPECT_EQ(plat::pipeConnect("\\pipe\\nobody", &h), 2);
  EXPECT_EQ(h, plat::kInvalidHandle);
  EXPECT_EQ(plat::pipeConnect("\\pipe\\a\\..\\b", &h), 123);
  EXPECT_EQ(plat::pipeConnect("\\pipe\\" + std::string(200, 'x'), &h), 206);
  EXPECT_EQ(plat::pipeListen("\\pipe\\" + std::string(200, 'x'), &h), 206);
}

TEST_F(MsgPipeTest, StaleSocketIsReplacedOtherFilesAreNot) {
  const std::string name = "\\pipe\\stale";
  Handle old;
  ASSERT_EQ(plat::pipeListen(name, &old), 0);
  plat::closeHandle(old);  // leaves its file behind, as a crashed server would
  Handle refused;
  EXPECT_EQ(plat::pipeConnect(name, &refused), 2) << "a leftover file is no pipe";
  auto [server, client] = connectedPair(name);
  EXPECT_NE(server, plat::kInvalidHandle);

  std::ofstream(rt_ + "/pipe/notasocket") << "data";
  Handle h;
  EXPECT_EQ(plat::pipeListen("\\pipe\\NotASocket", &h), 183);
  EXPECT_TRUE(fs::exists(rt_ + "/pipe/notasocket"));
}

TEST_F(MsgPipeTest, PairCanBeMadeBlocking) {
  Handle a, b;
  ASSERT_EQ(plat::pipePair(&a, &b), 0);
  keep(a), keep(b);
  ASSERT_EQ(plat::setBlocking(b, true), 0);
  auto data = pattern(1025, 9);
  size_t n;
  ASSERT_EQ(plat::pipeWrite(a, data.data(), data.size(), &n), PipeIo::kDone);
  std::vector<uint8_t> got(1025);
  ASSERT_EQ(plat::pipeRead(b, got.data(), got.size(), &n), PipeIo::kDone);
  EXPECT_EQ(got, data);
  EXPECT_EQ(plat::setBlocking(-1, true), 6);
}

// Needs root to be another user; the kernel's own permission checks are
// opened up just enough for the stranger to reach the listener.
TEST_F(MsgPipeTest, PeerOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const std::string name = "\\pipe\\guarded\\chan";
  Handle listener;
  ASSERT_EQ(plat::pipeListen(name, &listener), 0);
  for (auto dir : {base_, rt_, rt_ + "/pipe", rt_ + "/pipe/guarded"})
    ASSERT_EQ(::chmod(dir.c_str(), 0711), 0);
  ASSERT_EQ(::chmod((rt_ + "/pipe/guarded/chan").c_str(), 0777), 0);

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
    Handle h;
    // The stranger's own side also refuses a listener of another user.
    ::_exit(plat::pipeConnect(name, &h));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 5);

  Handle server;
  EXPECT_EQ(plat::pipeAccept(listener, &server, 200), 258) << "the stranger was not accepted";
  Handle client;
  ASSERT_EQ(plat::pipeConnect(name, &client), 0);
  keep(client);
  ASSERT_EQ(plat::pipeAccept(listener, &server, 5000), 0) << "the wait went on for our own user";
  keep(server);
}

}  // namespace
