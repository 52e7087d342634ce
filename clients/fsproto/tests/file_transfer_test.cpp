// The transfer protocol driven directly, with a scripted device and a clock
// of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FileTransfer.h"
#include "testsupport/Files.h"

namespace {

namespace fs = std::filesystem;
namespace wire = svcwire::filesrv;
using fsproto::FileTransfer;
using Kind = FileTransfer::Kind;

constexpr int64_t kMs = FileTransfer::kMs;

struct Sent {
  std::vector<uint8_t> data;
  bool last = false;
};

struct Event {
  int event = 0;
  int32_t a = 0, b = 0;
  FSrvDirEntry row{};
};

class Recorder : public fsproto::TransferSink {
 public:
  void sendChunk(const uint8_t* data, size_t length, bool last) override {
    sent.push_back({std::vector<uint8_t>(data, data + length), last});
  }
  void report(int event, const void* data, size_t length) override {
    Event e;
    e.event = event;
    if (event == FSRV_EVENT_DIR_ENTRY) {
      EXPECT_EQ(length, sizeof(FSrvDirEntry));
      std::memcpy(&e.row, data, sizeof e.row);
    } else if (event == FSRV_EVENT_PROGRESS) {
      EXPECT_EQ(length, 8u);
      std::memcpy(&e.a, data, 4);
      std::memcpy(&e.b, static_cast<const uint8_t*>(data) + 4, 4);
    } else {
      EXPECT_EQ(length, 4u);
      std::memcpy(&e.a, data, 4);
    }
    events.push_back(e);
  }
  size_t outcomes() const {
    size_t n = 0;
    for (const Event& e : events) n += e.event == 1 || e.event == 2;
    return n;
  }
  const Event* outcome() const {
    for (const Event& e : events)
      if (e.event == 1 || e.event == 2) return &e;
    return nullptr;
  }
  std::vector<Sent> sent;
  std::vector<Event> events;
};

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/fsproto-test.XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path operator/(const std::string& name) const { return path_ / name; }
  const fs::path& path() const { return path_; }
  size_t entries() const { return size_t(std::distance(fs::directory_iterator(path_), {})); }

 private:
  fs::path path_;
};

using testfiles::pattern;
using testfiles::readFile;
using testfiles::writeFile;

struct Harness {
  explicit Harness(FileTransfer::Setup setup) : transfer(std::move(setup), &sink) {}
  bool reply(uint8_t code, int32_t value) {
    const auto r = wire::encodeReply(code, value);
    return transfer.onChunk(r.data(), r.size(), true, now);
  }
  bool message(const std::vector<uint8_t>& m) {
    return transfer.onChunk(m.data(), m.size(), true, now);
  }
  void advance(int64_t ms) {
    now += ms * kMs;
    if (now >= transfer.deadline()) transfer.onTimer(now);
  }
  Recorder sink;
  FileTransfer transfer;
  int64_t now = 1000 * kMs;
};

FileTransfer::Setup setupOf(Kind kind, std::string volume, std::string remote,
                            std::string local = {}, int attributes = 0) {
  FileTransfer::Setup s;
  s.kind = kind;
  s.volume = std::move(volume);
  s.remote = std::move(remote);
  s.local = std::move(local);
  s.attributes = attributes;
  return s;
}

TEST(FileTransferTest, RequestsCarryCutNamesAndTheAttributeWord) {
  struct Case {
    Kind kind;
    std::string volume, remote;
    int attributes;
    std::vector<uint8_t> expected;
  };
  const std::string v10 = "volume1234", r40(40, 'r');
  std::vector<uint8_t> download{2};
  download.insert(download.end(), v10.begin(), v10.begin() + 7);
  download.push_back(0);
  download.insert(download.end(), r40.begin(), r40.begin() + 31);
  download.push_back(0);
  download.push_back(0x34);
  download.push_back(0x12);
  const Case cases[] = {
      {Kind::kDownload, v10, r40, 0x1234, download},
      {Kind::kUpload, "root", "a.bin", 0, {16, 'r', 'o', 'o', 't', 0, 'a', '.', 'b', 'i', 'n', 0}},
      {Kind::kDir, "data", "ignored", 0, {18, 'd', 'a', 't', 'a', 0}},
      {Kind::kUnlink, "root", "x", 0, {6, 'r', 'o', 'o', 't', 0, 'x', 0}},
  };
  for (const Case& c : cases) {
    Harness h(setupOf(c.kind, c.volume, c.remote, {}, c.attributes));
    h.transfer.begin(h.now);
    ASSERT_EQ(h.sink.sent.size(), 1u);
    EXPECT_EQ(h.sink.sent[0].data, c.expected);
    EXPECT_TRUE(h.sink.sent[0].last);
  }
}

// A device that acknowledges every piece whole, and the file it stored.
TEST(FileTransferTest, DownloadSendsOnePiecePerAcknowledgementAndStaysInTheWindow) {
  for (size_t size : {size_t(0), size_t(1), size_t(1023), size_t(1024), size_t(1025), size_t(3000),
                      size_t(1) << 20}) {
    SCOPED_TRACE(size);
    TempDir dir;
    const auto bytes = pattern(size);
    writeFile(dir / "src", bytes);
    Harness h(setupOf(Kind::kDownload, "root", "f", (dir / "src").string(), 1));
    ASSERT_EQ(h.transfer.openSource(), 0);
    h.transfer.begin(h.now);
    ASSERT_TRUE(h.reply(3, 0));
    std::vector<uint8_t> stored;
    std::vector<size_t> pieces;
    size_t next = 1;  // sent[0] is the request
    bool sawLast = false;
    while (!sawLast) {
      ASSERT_LT(next, h.sink.sent.size()) << "no piece after an acknowledgement";
      const Sent& piece = h.sink.sent[next++];
      pieces.push_back(piece.data.size());
      stored.insert(stored.end(), piece.data.begin(), piece.data.end());
      sawLast = piece.last;
      h.now += 30 * kMs;
      ASSERT_TRUE(h.reply(32, int32_t(stored.size())));
    }
    EXPECT_EQ(next, h.sink.sent.size()) << "a piece after the last one";
    EXPECT_EQ(stored, bytes);
    if (size == 3000) {
      EXPECT_EQ(pieces, (std::vector<size_t>{1024, 1024, 952}));
    }
    if (size == 0) {
      EXPECT_EQ(pieces, (std::vector<size_t>{0}));
    }
    ASSERT_TRUE(h.reply(3, 0));
    ASSERT_EQ(h.sink.outcomes(), 1u);
    EXPECT_EQ(h.sink.outcome()->event, 1);
    EXPECT_EQ(h.sink.outcome()->a, 0);
    // Progress: first at 0, last at the size, periodic ones 250 ms apart.
    std::vector<const Event*> progress;
    for (const Event& e : h.sink.events)
      if (e.event == 3) progress.push_back(&e);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front()->a, 0);
    EXPECT_EQ(progress.back()->a, int32_t(size));
    for (const Event* p : progress) EXPECT_EQ(p->b, int32_t(size));
    EXPECT_EQ(h.sink.events.back().event, 1);
  }
}

TEST(FileTransferTest, AcknowledgementsOutsideWhatWasSentAreProtocolErrors) {
  struct Case {
    const char* what;
    std::vector<int32_t> acks;  // after the accept
    int32_t expected;           // the failure, or 0 for none yet
    size_t pieces;              // pieces sent after the first
  };
  const Case cases[] = {
      {"beyond what was sent", {1025}, -127, 0},
      {"behind the previous one", {500, 400}, -127, 1},
      {"not advancing sends nothing", {500, 500}, 0, 1},
      {"a negative one is the device's failure", {300, -28}, -28, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    writeFile(dir / "src", pattern(5000));
    Harness h(setupOf(Kind::kDownload, "root", "f", (dir / "src").string()));
    ASSERT_EQ(h.transfer.openSource(), 0);
    h.transfer.begin(h.now);
    h.reply(3, 0);
    const size_t before = h.sink.sent.size();
    for (int32_t ack : c.acks) h.reply(32, ack);
    EXPECT_EQ(h.sink.sent.size() - before, c.pieces);
    if (c.expected == 0) {
      EXPECT_EQ(h.sink.outcomes(), 0u);
    } else {
      ASSERT_EQ(h.sink.outcomes(), 1u);
      EXPECT_EQ(h.sink.outcome()->event, 2);
      EXPECT_EQ(h.sink.outcome()->a, c.expected);
    }
  }
}

TEST(FileTransferTest, BusyIsAskedAgainOnce250msLaterAndOnlyAfterAnotherBusy) {
  Harness h(setupOf(Kind::kUnlink, "root", "x"));
  h.transfer.begin(h.now);
  for (int busy = 0; busy < 3; ++busy) {
    ASSERT_TRUE(h.reply(7, -11));
    const size_t requests = h.sink.sent.size();
    h.advance(249);
    EXPECT_EQ(h.sink.sent.size(), requests) << "resent before 250 ms";
    h.advance(1);
    EXPECT_EQ(h.sink.sent.size(), requests + 1);
    // Waiting for the answer to the resend: no further copies.
    h.advance(3000);
    EXPECT_EQ(h.sink.sent.size(), requests + 1);
  }
  ASSERT_TRUE(h.reply(7, 0));
  ASSERT_EQ(h.sink.outcomes(), 1u);
  EXPECT_EQ(h.sink.outcome()->event, 1);
  EXPECT_EQ(h.sink.sent.size(), 4u);

  // Silence after a resend is a time-out, not another resend.
  Harness quiet(setupOf(Kind::kUnlink, "root", "x"));
  quiet.transfer.begin(quiet.now);
  quiet.reply(7, -11);
  quiet.advance(250);
  quiet.advance(3999);
  EXPECT_EQ(quiet.sink.outcomes(), 0u);
  quiet.advance(1);
  ASSERT_EQ(quiet.sink.outcomes(), 1u);
  EXPECT_EQ(quiet.sink.outcome()->a, -138);
  EXPECT_EQ(quiet.sink.sent.size(), 2u);
}

TEST(FileTransferTest, SeventeenthBusyIsReportedAsBusy) {
  Harness h(setupOf(Kind::kDir, "root", ""));
  h.transfer.begin(h.now);
  for (int i = 0; i < 16; ++i) {
    ASSERT_TRUE(h.reply(19, -11));
    h.advance(250);
  }
  EXPECT_EQ(h.sink.sent.size(), 17u);
  EXPECT_EQ(h.sink.outcomes(), 0u);
  h.reply(19, -11);
  ASSERT_EQ(h.sink.outcomes(), 1u);
  EXPECT_EQ(h.sink.outcome()->a, -11);
}

TEST(FileTransferTest, MessageWhileAResendIsPendingIsRefused) {
  Harness h(setupOf(Kind::kUnlink, "root", "x"));
  h.transfer.begin(h.now);
  h.reply(7, -11);
  EXPECT_FALSE(h.reply(7, 0));
  ASSERT_EQ(h.sink.outcomes(), 1u);
  EXPECT_EQ(h.sink.outcome()->a, -127);
  // Nothing after the outcome: no resend, no time-out, no second event.
  h.advance(5000);
  h.transfer.onChannelClosed();
  EXPECT_FALSE(h.reply(7, 0));
  EXPECT_EQ(h.sink.events.size(), 1u);
  EXPECT_EQ(h.sink.sent.size(), 1u);
}

// The pipe runs before the request goes out; what the device says then
// answers nothing, even when it looks like the reply.
TEST(FileTransferTest, MessageBeforeTheRequestIsRefusedAndNothingIsSent) {
  TempDir dir;
  writeFile(dir / "src", pattern(3000));
  struct Case {
    Kind kind;
    std::string local;
    bool openSource;  // the message may come before or after the source opens
    uint8_t code;
    int32_t value;
  };
  const Case cases[] = {
      {Kind::kDownload, (dir / "src").string(), false, 3, 0},
      {Kind::kDownload, (dir / "src").string(), true, 3, 0},
      {Kind::kUpload, (dir / "got").string(), false, 17, 10},
      {Kind::kDir, "", false, 19, 0},
      {Kind::kUnlink, "", false, 7, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.kind));
    Harness h(setupOf(c.kind, "root", "f", c.local));
    if (c.openSource) {
      ASSERT_EQ(h.transfer.openSource(), 0);
    }
    EXPECT_FALSE(h.reply(c.code, c.value));
    ASSERT_EQ(h.sink.outcomes(), 1u);
    EXPECT_EQ(h.sink.outcome()->event, 2);
    EXPECT_EQ(h.sink.outcome()->a, -127);
    // Ended: the request is never sent (an unlink would delete after the
    // failure was reported), and nothing more is heard.
    h.transfer.begin(h.now);
    EXPECT_TRUE(h.sink.sent.empty());
    EXPECT_FALSE(h.reply(c.code, c.value));
    h.advance(5000);
    h.transfer.onChannelClosed();
    EXPECT_EQ(h.sink.events.size(), 1u);
    EXPECT_TRUE(h.sink.sent.empty());
    EXPECT_FALSE(fs::exists(dir / "got"));
  }
}

TEST(FileTransferTest, MalformedRepliesAreProtocolErrors) {
  const std::vector<std::vector<uint8_t>> bad = {
      {7, 0, 0, 0},        // short
      {7, 0, 0, 0, 0, 0},  // long
      {8, 0, 0, 0, 0},     // wrong code
      {},                  // empty
  };
  for (const auto& m : bad) {
    Harness h(setupOf(Kind::kUnlink, "root", "x"));
    h.transfer.begin(h.now);
    EXPECT_FALSE(h.message(m));
    ASSERT_EQ(h.sink.outcomes(), 1u);
    EXPECT_EQ(h.sink.outcome()->a, -127);
  }
}

TEST(FileTransferTest, ListingDeliversRowsWhenTheCountMatches) {
  struct Case {
    std::vector<std::string> names;
    int32_t count;
    bool ok;
  };
  const Case cases[] = {
      {{"a.txt", "fw.xpk"}, 2, true},     {{"a.txt", "fw.xpk"}, 3, false},
      {{"a.txt", "fw.xpk"}, 1, false},    {{std::string(31, 'x')}, 1, true},
      {{std::string(32, 'x')}, 1, false}, {{}, 0, true},
  };
  for (const Case& c : cases) {
    Harness h(setupOf(Kind::kDir, "root", ""));
    h.transfer.begin(h.now);
    ASSERT_TRUE(h.reply(19, 0));
    std::vector<uint8_t> listing;
    int32_t size = 100;
    for (const std::string& n : c.names) wire::appendEntry(listing, n, size++, 0x0102);
    listing.push_back(0);
    // The listing comes in two chunks.
    const size_t half = listing.size() / 2;
    ASSERT_TRUE(h.transfer.onChunk(listing.data(), half, false, h.now));
    h.transfer.onChunk(listing.data() + half, listing.size() - half, true, h.now);
    if (h.sink.outcomes() == 0) h.reply(19, c.count);
    ASSERT_EQ(h.sink.outcomes(), 1u);
    if (!c.ok) {
      EXPECT_EQ(h.sink.outcome()->a, -127);
      EXPECT_EQ(h.sink.events.size(), 1u) << "no rows before a failure";
      continue;
    }
    ASSERT_EQ(h.sink.events.size(), c.names.size() + 1);
    for (size_t i = 0; i < c.names.size(); ++i) {
      EXPECT_EQ(h.sink.events[i].event, 4);
      EXPECT_EQ(std::string(h.sink.events[i].row.name), c.names[i]);
      EXPECT_EQ(h.sink.events[i].row.size, int32_t(100 + i));
      EXPECT_EQ(h.sink.events[i].row.attributes, 0x0102);
    }
    EXPECT_EQ(h.sink.events.back().event, 1);
    EXPECT_EQ(h.sink.events.back().a, c.count);
  }
}

TEST(FileTransferTest, UploadReplacesTheTargetOnlyWhenWholeAndExact) {
  struct Case {
    const char* what;
    int32_t announced;
    size_t delivered;
    int32_t expected;  // 0 finished, else the failure
  };
  const Case cases[] = {
      {"exact", 3000, 3000, 0},
      {"empty", 0, 0, 0},
      {"one byte short", 3000, 2999, -127},
      {"one byte long", 3000, 3001, -127},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const auto old = pattern(10, 99);
    writeFile(dir / "target", old);
    Harness h(setupOf(Kind::kUpload, "root", "f", (dir / "target").string()));
    h.transfer.begin(h.now);
    ASSERT_TRUE(h.reply(17, c.announced));
    const auto bytes = pattern(c.delivered);
    size_t offset = 0;
    bool refused = false;
    do {
      const size_t n = std::min<size_t>(700, bytes.size() - offset);
      refused = !h.transfer.onChunk(bytes.data() + offset, n, offset + n == bytes.size(), h.now);
      offset += n;
    } while (!refused && offset < bytes.size());
    if (!refused && h.sink.outcomes() == 0) h.reply(17, 0);
    ASSERT_EQ(h.sink.outcomes(), 1u);
    if (c.expected == 0) {
      EXPECT_EQ(h.sink.outcome()->event, 1);
      EXPECT_EQ(readFile(dir / "target"), bytes);
    } else {
      EXPECT_EQ(h.sink.outcome()->a, c.expected);
      EXPECT_EQ(readFile(dir / "target"), old) << "the old file was destroyed";
    }
    EXPECT_EQ(dir.entries(), 1u) << "a temporary file was left";
  }
}

TEST(FileTransferTest, UploadFailuresLeaveNoFile) {
  struct Case {
    const char* what;
    int32_t finalValue;  // after all data
    bool close;          // the channel ends mid-transfer instead
  };
  for (const Case& c :
       {Case{"device failure at the end", -5, false}, Case{"channel ends", 0, true}}) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    Harness h(setupOf(Kind::kUpload, "root", "f", (dir / "new").string()));
    h.transfer.begin(h.now);
    h.reply(17, 100);
    const auto bytes = pattern(100);
    if (c.close) {
      h.transfer.onChunk(bytes.data(), 50, false, h.now);
      EXPECT_EQ(dir.entries(), 1u);  // the temporary one
      h.transfer.onChannelClosed();
    } else {
      h.transfer.onChunk(bytes.data(), 100, true, h.now);
      h.reply(17, c.finalValue);
    }
    ASSERT_EQ(h.sink.outcomes(), 1u);
    EXPECT_EQ(h.sink.outcome()->event, 2);
    EXPECT_EQ(dir.entries(), 0u);
  }
}

// The file an upload replaces keeps what made it that file: a link stays a
// link to the new content, and the mode stays the old file's.
TEST(FileTransferTest, UploadKeepsLinksAndTheOldMode) {
  TempDir dir;
  // What a file created here gets today (0666 less the umask).
  writeFile(dir / "probe", {});
  const fs::perms created = fs::status(dir / "probe").permissions();
  fs::remove(dir / "probe");
  const fs::perms secret = fs::perms::owner_read | fs::perms::owner_write;
  const fs::perms shared = secret | fs::perms::group_read | fs::perms::others_read |
                           fs::perms::owner_exec | fs::perms::group_exec;
  ASSERT_NE(created, secret) << "the umask hides a loosened mode";
  fs::create_directory(dir / "sub");
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> links;  // name, what it points at
    std::string old;                                         // the existing file, or none
    fs::perms mode;
    std::string target;   // the name the upload is given
    std::string written;  // the name that receives the bytes
    fs::perms expected;
  };
  const Case cases[] = {
      {"existing file", {}, "f", secret, "f", "f", secret},
      {"existing, looser", {}, "f", shared, "f", "f", shared},
      {"set-id bits are not carried over",
       {},
       "f",
       shared | fs::perms::set_uid | fs::perms::set_gid,
       "f",
       "f",
       shared},
      {"new file", {}, "", secret, "f", "f", created},
      {"relative link", {{"link", "sub/real"}}, "sub/real", secret, "link", "sub/real", secret},
      {"absolute link",
       {{"link", (dir / "sub/real").string()}},
       "sub/real",
       shared,
       "link",
       "sub/real",
       shared},
      {"link to a link",
       {{"link", "hop"}, {"hop", "sub/real"}},
       "sub/real",
       secret,
       "link",
       "sub/real",
       secret},
      {"link in a directory, relative to it",
       {{"sub/link", "real"}},
       "sub/real",
       secret,
       "sub/link",
       "sub/real",
       secret},
      {"dangling link", {{"link", "sub/real"}}, "", secret, "link", "sub/real", created},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* n : {"f", "link", "hop", "sub/link", "sub/real"}) fs::remove(dir / n);
    if (!c.old.empty()) {
      writeFile(dir / c.old, pattern(10, 99));
      fs::permissions(dir / c.old, c.mode);
    }
    for (const auto& [name, to] : c.links) fs::create_symlink(to, dir / name);
    Harness h(setupOf(Kind::kUpload, "root", "f", (dir / c.target).string()));
    h.transfer.begin(h.now);
    ASSERT_TRUE(h.reply(17, 100));
    const auto bytes = pattern(100);
    ASSERT_TRUE(h.transfer.onChunk(bytes.data(), bytes.size(), true, h.now));
    ASSERT_TRUE(h.reply(17, 0));
    ASSERT_EQ(h.sink.outcomes(), 1u);
    ASSERT_EQ(h.sink.outcome()->event, 1) << h.sink.outcome()->a;
    EXPECT_EQ(readFile(dir / c.written), bytes);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / c.written)));
    EXPECT_EQ(fs::status(dir / c.written).permissions(), c.expected);
    for (const auto& [name, to] : c.links) {
      EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / name))) << name << " was replaced";
      std::error_code ec;
      EXPECT_EQ(fs::read_symlink(dir / name, ec), fs::path(to));
    }
    // Nothing else appeared: no temporary file beside the link or its target.
    std::vector<std::string> expected = {"sub", c.written};
    for (const auto& l : c.links) expected.push_back(l.first);
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(dir.path()))
      found.push_back(e.path().lexically_relative(dir.path()).string());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, expected);
  }
}

TEST(FileTransferTest, UploadIntoASpecialFileWritesItDirectly) {
  Harness h(setupOf(Kind::kUpload, "root", "f", "/dev/null"));
  h.transfer.begin(h.now);
  h.reply(17, 4);
  EXPECT_TRUE(h.transfer.temporaryPath().empty());
  const uint8_t data[4] = {1, 2, 3, 4};
  ASSERT_TRUE(h.transfer.onChunk(data, 4, true, h.now));
  h.reply(17, 0);
  ASSERT_EQ(h.sink.outcomes(), 1u);
  EXPECT_EQ(h.sink.outcome()->event, 1);
  EXPECT_TRUE(fs::exists("/dev/null"));
}

TEST(FileTransferTest, UploadTargetThatCannotBeCreatedIsBadFile) {
  Harness h(setupOf(Kind::kUpload, "root", "f", "/nonexistent-dir/x"));
  h.transfer.begin(h.now);
  h.reply(17, 4);
  ASSERT_EQ(h.sink.outcomes(), 1u);
  EXPECT_EQ(h.sink.outcome()->a, -9);
}

TEST(FileTransferTest, DownloadSourceMustBeARegularFile) {
  TempDir dir;
  fs::create_directory(dir / "sub");
  for (const fs::path& p : {dir / "missing", dir / "sub"}) {
    Harness h(setupOf(Kind::kDownload, "root", "f", p.string()));
    EXPECT_EQ(h.transfer.openSource(), -2) << p;
  }
}

TEST(FileTransferTest, ProgressIsDueAPeriodAfterThePreviousReport) {
  TempDir dir;
  writeFile(dir / "target", {});
  Harness h(setupOf(Kind::kUpload, "root", "f", (dir / "target").string()));
  h.transfer.begin(h.now);
  h.reply(17, 100000);
  const uint8_t piece[100] = {};
  auto chunkAt = [&](int64_t ms) {
    h.now = 1000 * kMs + ms * kMs;
    ASSERT_TRUE(h.transfer.onChunk(piece, sizeof piece, false, h.now));
  };
  // Reports at 0 (forced), then whenever 250 ms have passed since the last.
  // A stall to 1000 is followed by one report, not a burst.
  for (int64_t ms : {10, 100, 249, 250, 260, 1000, 1010, 1100, 1249, 1250}) chunkAt(ms);
  std::vector<int32_t> done;
  for (const Event& e : h.sink.events)
    if (e.event == 3) done.push_back(e.a);
  // Bytes at each report: 0, after the 4th chunk (250), the 6th (1000), the 10th (1250).
  EXPECT_EQ(done, (std::vector<int32_t>{0, 400, 600, 1000}));
}

TEST(FileTransferTest, OverlongChunkOrReplyIsRefused) {
  Harness h(setupOf(Kind::kUnlink, "root", "x"));
  h.transfer.begin(h.now);
  std::vector<uint8_t> big(1025, 0);
  EXPECT_FALSE(h.transfer.onChunk(big.data(), big.size(), true, h.now));
  EXPECT_EQ(h.sink.outcome()->a, -127);
}

}  // namespace
