// The engine against a raw pipe peer in the same process: what goes on the
// pipe, and how each way of ending a channel ends it.
#include <cstring>

#include "engine_support.h"
#include "plat/msgpipe.h"
#include "plat/poll.h"

using translayer::MessageWriter;
using translayer::TrIfTranCommon;
using translayer::TrIfTranPayload;

using namespace enginetest;
using plat::PipeIo;

namespace {

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new RuntimeDirEnvironment);

class EngineLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(plat::pipePair(&enginePipe_, &peer_), 0); }
  void TearDown() override { plat::closeHandle(peer_); }

  // The next record the engine wrote, waiting up to kLong for it.
  PipeIo peerRead(std::vector<uint8_t>* record, int timeoutMs = 60000) {
    record->assign(4096, 0);
    size_t n = 0;
    PipeIo io;
    while ((io = plat::pipeRead(peer_, record->data(), record->size(), &n)) ==
           PipeIo::kWouldBlock) {
      plat::PollItem item{peer_, plat::kPollRead, 0};
      if (plat::pollHandles(&item, 1, timeoutMs) == 0) break;
    }
    record->resize(n);
    return io;
  }
  void peerWrite(const std::vector<uint8_t>& record) {
    size_t n;
    ASSERT_EQ(plat::pipeWrite(peer_, record.data(), record.size(), &n), PipeIo::kDone);
  }
  static std::vector<uint8_t> record(uint8_t last, size_t dataBytes, uint32_t seed = 1) {
    std::vector<uint8_t> r{last};
    auto d = pattern(dataBytes, seed);
    r.insert(r.end(), d.begin(), d.end());
    return r;
  }

  TrIfTranCommon engine_;
  Recorder receiver_;
  plat::Handle enginePipe_ = plat::kInvalidHandle, peer_ = plat::kInvalidHandle;
};

TEST_F(EngineLoopTest, RecordsBecomeChunksOfOneLessByte) {
  Loop loop(engine_, enginePipe_, &receiver_);
  const std::vector<std::vector<uint8_t>> records = {record(0, 0), record(0, 1, 2),
                                                     record(0, 1023, 3), record(1, 1024, 4)};
  for (const auto& r : records) peerWrite(r);
  std::shared_ptr<std::vector<uint8_t>> message;
  ASSERT_TRUE(receiver_.messages.popFor(message, 60000));
  auto chunks = receiver_.chunks();
  ASSERT_EQ(chunks.size(), records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(chunks[i]->length, records[i].size() - 1) << i;
    EXPECT_EQ(chunks[i]->last, records[i][0]) << i;
    EXPECT_EQ(std::memcmp(chunks[i]->data, records[i].data() + 1, chunks[i]->length), 0) << i;
  }
  EXPECT_EQ(message->size(), 0u + 1 + 1023 + 1024);
  engine_.close(true);
  EXPECT_EQ(receiver_.closes, 1);
}

TEST_F(EngineLoopTest, ChunksGoOutInOrderAndAnEmptyWriterSendsNothing) {
  Loop loop(engine_, enginePipe_, &receiver_);
  MessageWriter empty;
  EXPECT_TRUE(empty.send(&engine_));
  auto small = pattern(1, 5), big = pattern(2500, 6);
  sendMessage(&engine_, small);
  sendMessage(&engine_, big);
  std::vector<uint8_t> r;
  ASSERT_EQ(peerRead(&r), PipeIo::kDone);
  EXPECT_EQ(r, (std::vector<uint8_t>{1, small[0]})) << "the first record is the 1-byte message";
  for (size_t offset = 0; offset < big.size(); offset += 1024) {
    size_t n = std::min<size_t>(1024, big.size() - offset);
    ASSERT_EQ(peerRead(&r), PipeIo::kDone);
    ASSERT_EQ(r.size(), n + 1);
    EXPECT_EQ(r[0], offset + n == big.size() ? 1 : 0);
    EXPECT_TRUE(std::equal(r.begin() + 1, r.end(), big.begin() + offset));
  }
  EXPECT_EQ(peerRead(&r, 100), PipeIo::kWouldBlock) << "nothing else was written";
  engine_.close(true);
}

// Each way the channel ends by itself: the loop returns, the pipe is closed
// and the receiver hears close(false) exactly once; chunks read before the
// end were delivered.
TEST_F(EngineLoopTest, EveryEndOfTheChannelTellsTheReceiverOnce) {
  enum class Cause {
    kOverlongRecord,
    kPeerClose,
    kPeerCloseAfterData,
    kRefusedChunk,
    kOverlongChunk
  };
  struct Case {
    const char* what;
    Cause cause;
    int deliveredBefore;  // chunks the receiver sees
  };
  const Case cases[] = {
      {"a record of 1026 bytes", Cause::kOverlongRecord, 1},
      {"the peer closes", Cause::kPeerClose, 0},
      {"the peer closes after sending", Cause::kPeerCloseAfterData, 2},
      {"the receiver refuses a chunk", Cause::kRefusedChunk, 2},
      {"a queued chunk claims more than 1024 bytes", Cause::kOverlongChunk, 0},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    TrIfTranCommon engine;
    Recorder receiver;
    plat::Handle mine, peer;
    ASSERT_EQ(plat::pipePair(&mine, &peer), 0);
    receiver.refuseAt = k.cause == Cause::kRefusedChunk ? 1 : -1;
    // Everything is on the pipe before the loop starts: records after the
    // end must be there to be left unread.
    auto write = [&](const std::vector<uint8_t>& r) {
      size_t n;
      ASSERT_EQ(plat::pipeWrite(peer, r.data(), r.size(), &n), PipeIo::kDone);
    };
    switch (k.cause) {
      case Cause::kOverlongRecord:
        write(record(0, 10));
        write(record(0, 1025));
        write(record(1, 10));  // never delivered: the channel ended before it
        break;
      case Cause::kPeerClose:
        break;
      case Cause::kPeerCloseAfterData:
        write(record(0, 10));
        write(record(1, 10));
        break;
      case Cause::kRefusedChunk:
        write(record(0, 10));
        write(record(0, 10));
        write(record(1, 10));
        break;
      case Cause::kOverlongChunk: {
        auto bad = std::make_shared<TrIfTranPayload>();
        bad->length = 2000;
        engine.deliver(bad);
        break;
      }
    }
    if (k.cause == Cause::kPeerClose || k.cause == Cause::kPeerCloseAfterData) {
      plat::closeHandle(peer);
      peer = plat::kInvalidHandle;
    }
    Loop loop(engine, mine, &receiver);
    ASSERT_TRUE(loop.ended());
    EXPECT_EQ(receiver.closes, 1);
    EXPECT_FALSE(receiver.waitedClose);
    EXPECT_EQ(receiver.delivered(), k.deliveredBefore);
    EXPECT_TRUE(engine.ended());
    if (peer != plat::kInvalidHandle) {
      // The engine's end is closed: after what it may have sent, the peer
      // reads the close.
      std::vector<uint8_t> buffer(4096);
      size_t n;
      PipeIo io;
      while ((io = plat::pipeRead(peer, buffer.data(), buffer.size(), &n)) == PipeIo::kDone) {
        EXPECT_NE(k.cause, Cause::kOverlongChunk) << "nothing of the bad chunk went out";
      }
      EXPECT_EQ(io, PipeIo::kClosed);
      plat::closeHandle(peer);
    }
    // close(true) on an ended engine returns, and keeps returning.
    EXPECT_TRUE(returnsInTime([&] {
      engine.close(true);
      engine.close(true);
    }));
    EXPECT_EQ(receiver.closes, 1);
  }
}

TEST_F(EngineLoopTest, DeliverAndCloseBeforeTheLoopAreKept) {
  // Never connected: close(true) has no loop to wait for and returns.
  auto bytes = pattern(1500, 9);
  sendMessage(&engine_, bytes);
  EXPECT_TRUE(returnsInTime([&] { engine_.close(true); }));
  EXPECT_FALSE(engine_.ended());
  sendMessage(&engine_, pattern(10, 10));  // after the close request: dropped
  // A loop started afterwards still writes what was queued before the
  // request, then ends by itself.
  {
    Loop loop(engine_, enginePipe_, &receiver_);
    ASSERT_TRUE(loop.ended());
  }
  EXPECT_EQ(receiver_.closes, 1);
  std::vector<uint8_t> r;
  ASSERT_EQ(peerRead(&r), PipeIo::kDone);
  EXPECT_EQ(r.size(), 1025u);
  EXPECT_TRUE(std::equal(r.begin() + 1, r.end(), bytes.begin()));
  ASSERT_EQ(peerRead(&r), PipeIo::kDone);
  EXPECT_EQ(r.size(), 1500u - 1024 + 1);
  EXPECT_EQ(r[0], 1);
  EXPECT_EQ(peerRead(&r), PipeIo::kClosed);
}

// The owner's thread reported connected but has not entered the loop yet:
// close(true) waits for that loop, and when it returns the receiver has been
// told.
TEST_F(EngineLoopTest, CloseAndWaitOnAConnectedEngineWaitsForItsLoop) {
  engine_.notConnected = 0;
  auto closing = std::async(std::launch::async, [&] { engine_.close(true); });
  EXPECT_EQ(closing.wait_for(50ms), std::future_status::timeout);
  Loop loop(engine_, enginePipe_, &receiver_);
  ASSERT_EQ(closing.wait_for(kLong), std::future_status::ready);
  EXPECT_EQ(receiver_.closes, 1);
}

TEST_F(EngineLoopTest, AReplyFollowedAtOnceByACloseReachesThePeer) {
  Loop loop(engine_, enginePipe_, &receiver_);
  auto reply = pattern(5000, 11);
  sendMessage(&engine_, reply);
  engine_.close(true);
  EXPECT_EQ(receiver_.closes, 1);
  std::vector<uint8_t> joined, r;
  while (peerRead(&r) == PipeIo::kDone) joined.insert(joined.end(), r.begin() + 1, r.end());
  EXPECT_EQ(joined, reply);
}

TEST_F(EngineLoopTest, CloseWithoutWaitReturnsAndTheLoopEndsSoonAfter) {
  Loop loop(engine_, enginePipe_, &receiver_);
  peerWrite(record(1, 3));
  std::shared_ptr<std::vector<uint8_t>> m;
  ASSERT_TRUE(receiver_.messages.popFor(m, 60000)) << "the loop runs";
  engine_.close(false);
  ASSERT_TRUE(loop.ended());
  EXPECT_EQ(receiver_.closes, 1);
  EXPECT_FALSE(receiver_.closed.timedWait(0));
}

// A peer that reads nothing cannot hold a closing engine for ever.
TEST_F(EngineLoopTest, QueuedChunksThatCannotGoOutDoNotHoldTheClose) {
  Loop loop(engine_, enginePipe_, &receiver_);
  sendMessage(&engine_, pattern(4 * 1024 * 1024, 12));  // far more than the pipe buffers
  EXPECT_TRUE(returnsInTime([&] { engine_.close(true); }));
  EXPECT_EQ(receiver_.closes, 1);
}

// Chunk i of a stream carries i in its first four bytes.
std::shared_ptr<TrIfTranPayload> numbered(uint32_t i) {
  auto chunk = std::make_shared<TrIfTranPayload>();
  chunk->length = uint16_t(translayer::kChunkData);
  std::memset(chunk->data, int(i & 0xFF), translayer::kChunkData);
  std::memcpy(chunk->data, &i, sizeof i);
  return chunk;
}

// Delivers numbered chunks until the engine says it has no room; how many.
uint32_t fillUntilFull(TrIfTranCommon& engine) {
  uint32_t n = 0;
  while (engine.hasRoom() && n < 10 * TrIfTranCommon::kBacklogChunks) engine.deliver(numbered(n++));
  return n;
}

// A peer that stops reading: the engine has no room once its backlog reaches
// the bound, tells its receiver when the peer has read half of it, and every
// chunk still goes out in order.
TEST_F(EngineLoopTest, ABacklogAtItsBoundHasNoRoomUntilThePeerReadsHalfOfIt) {
  Loop loop(engine_, enginePipe_, &receiver_);
  const uint32_t n = fillUntilFull(engine_);
  ASSERT_FALSE(engine_.hasRoom());
  ASSERT_GE(n, TrIfTranCommon::kBacklogChunks);  // the pipe buffers the rest
  EXPECT_EQ(receiver_.roomAgains, 0);

  std::vector<uint8_t> r;
  uint32_t read = 0;
  auto readOne = [&] {
    ASSERT_EQ(peerRead(&r), PipeIo::kDone);
    ASSERT_EQ(r.size(), translayer::kChunkData + 1);
    uint32_t i;
    std::memcpy(&i, r.data() + 1, sizeof i);
    ASSERT_EQ(i, read) << "in order, none lost";
    ++read;
  };
  while (receiver_.roomAgains == 0 && read < n) {
    readOne();
    if (HasFatalFailure()) return;
  }
  ASSERT_FALSE(receiver_.roomCame.timedWait(60000)) << "told of room";
  EXPECT_TRUE(engine_.hasRoom());
  // Half the backlog could only go into the pipe as the peer made room.
  EXPECT_GE(read, TrIfTranCommon::kBacklogChunks / 4) << "not before the backlog shrank";
  while (read < n) {
    readOne();
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(receiver_.roomAgains, 1);
  engine_.close(false);
  EXPECT_TRUE(loop.ended());
}

// With a stall limit, a peer that reads nothing while the backlog is at its
// bound has its channel ended.
TEST_F(EngineLoopTest, APeerThatReadsNothingAtTheBoundIsEndedAfterTheStallLimit) {
  engine_.setStallLimit(200);
  Loop loop(engine_, enginePipe_, &receiver_);
  fillUntilFull(engine_);
  ASSERT_TRUE(loop.ended());
  EXPECT_EQ(receiver_.closes, 1);
  EXPECT_TRUE(engine_.ended());
}

TEST_F(EngineLoopTest, AfterACloseRequestNothingMoreIsDelivered) {
  // The receiver asks its own engine to end from the loop thread (it must
  // not wait for itself), and the records behind are not handed on.
  receiver_.onChunk = [&](const std::shared_ptr<TrIfTranPayload>&) { engine_.close(true); };
  // Both records wait in the pipe before the loop starts: the second is
  // surely there to be refused, and the peer never writes to a closed end.
  peerWrite(record(0, 10));
  peerWrite(record(1, 10));
  Loop loop(engine_, enginePipe_, &receiver_);
  ASSERT_TRUE(loop.ended());
  EXPECT_EQ(receiver_.delivered(), 1);
  EXPECT_EQ(receiver_.closes, 1);
}

TEST_F(EngineLoopTest, ASecondLoopRunsNothingButTellsItsReceiver) {
  engine_.close(false);
  {
    Loop loop(engine_, enginePipe_, &receiver_);
    ASSERT_TRUE(loop.ended());
  }
  plat::Handle mine, peer;
  ASSERT_EQ(plat::pipePair(&mine, &peer), 0);
  Recorder second;
  {
    Loop loop(engine_, mine, &second);
    ASSERT_TRUE(loop.ended());
  }
  EXPECT_EQ(second.closes, 1);
  EXPECT_EQ(receiver_.closes, 1);
  std::vector<uint8_t> buffer(16);
  size_t n;
  EXPECT_EQ(plat::pipeRead(peer, buffer.data(), buffer.size(), &n), PipeIo::kClosed)
      << "its pipe was closed";
  plat::closeHandle(peer);
  // Chunks for an ended engine go nowhere.
  EXPECT_TRUE(engine_.deliver(std::make_shared<TrIfTranPayload>()));
}

// The listening end's life: listening counts as connected; a close while no
// peer came ends the wait, and the loop run without a pipe tells the receiver.
TEST_F(EngineLoopTest, ListeningEndStopsWaitingForItsPeerOnAClose) {
  const std::string name = "\\\\.\\pipe\\enginetest\\listening";
  plat::Handle listener;
  ASSERT_EQ(plat::pipeListen(name, &listener), 0);
  engine_.notConnected = 0;
  engine_.connectResult.set();
  std::atomic<int> waitResult{-1};
  std::thread owner([&] {
    plat::Handle pipe;
    waitResult = engine_.waitForPeer(listener, &pipe, -1);
    engine_.ioLoop(pipe, &receiver_);
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(returnsInTime([&] { engine_.close(true); }));
  owner.join();
  EXPECT_EQ(waitResult, 1236);
  EXPECT_EQ(receiver_.closes, 1) << "told before close(true) returned";
  plat::Handle late;
  EXPECT_EQ(plat::pipeConnect(name, &late), 2) << "the name is gone";
}

TEST_F(EngineLoopTest, ListeningEndTakesItsPeerOrTimesOut) {
  const std::string name = "\\pipe\\enginetest\\peer";
  plat::Handle listener, pipe;
  ASSERT_EQ(plat::pipeListen(name, &listener), 0);
  EXPECT_EQ(engine_.waitForPeer(listener, &pipe, 30), 258);
  engine_.deliver(std::make_shared<TrIfTranPayload>());  // a wake-up is no peer
  EXPECT_EQ(engine_.waitForPeer(listener, &pipe, 30), 258);
  plat::Handle client;
  ASSERT_EQ(plat::pipeConnect(name, &client), 0);
  ASSERT_EQ(engine_.waitForPeer(listener, &pipe, 60000), 0);
  {
    Loop loop(engine_, pipe, &receiver_);
    // The chunk queued while waiting goes out once the loop runs.
    std::vector<uint8_t> r(16);
    size_t n = 0;
    plat::PollItem item{client, plat::kPollRead, 0};
    ASSERT_EQ(plat::pollHandles(&item, 1, 60000), 1);
    ASSERT_EQ(plat::pipeRead(client, r.data(), r.size(), &n), PipeIo::kDone);
    EXPECT_EQ(n, 1u);
    plat::closeHandle(client);
    ASSERT_TRUE(loop.ended());
  }
  EXPECT_EQ(receiver_.closes, 1);
}

TEST_F(EngineLoopTest, WorksOverANamedPipe) {
  plat::closeHandle(enginePipe_);
  plat::closeHandle(peer_);
  plat::Handle listener, server, client;
  ASSERT_EQ(plat::pipeListen("\\\\.\\pipe\\enginetest\\named", &listener), 0);
  ASSERT_EQ(plat::pipeConnect("\\\\.\\pipe\\EngineTest\\Named", &client), 0);
  ASSERT_EQ(plat::pipeAccept(listener, &server, 60000), 0);
  TrIfTranCommon other;
  Recorder otherReceiver;
  Loop a(engine_, server, &receiver_);
  Loop b(other, client, &otherReceiver);
  auto bytes = pattern(3000, 13);
  sendMessage(&other, bytes);
  std::shared_ptr<std::vector<uint8_t>> m;
  ASSERT_TRUE(receiver_.messages.popFor(m, 60000));
  EXPECT_EQ(*m, bytes);
  other.close(true);
  ASSERT_TRUE(a.ended()) << "the far end's close ends this loop";
  EXPECT_EQ(receiver_.closes, 1);
  EXPECT_EQ(otherReceiver.closes, 1);
  peer_ = plat::kInvalidHandle;
}

}  // namespace
