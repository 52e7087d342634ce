// Round trips and throughput through two pipe engines, beside a bare
// socketpair doing the same exchange with blocking record I/O, both measured
// in the same run.
//
// usage: bench_translayer [seconds per trial, default 0.3] [trials, default 5]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "plat/msgpipe.h"
#include "translayer/Event.h"
#include "translayer/TrIfTranCommon.h"

using translayer::Event;
using translayer::MessageReader;
using translayer::MessageWriter;
using translayer::TrIfTranCommon;
using translayer::TrIfTranPayload;
using translayer::TrIfTranRemote;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kOneChunk = 1024;
constexpr size_t kMiB = 1024 * 1024;
double gSeconds = 0.3;
int gTrials = 5;

double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// Repeats `once` (which does `batch` units) for about gSeconds after a short
// warm-up; returns units per second.
double rate(const std::function<void()>& once, int batch = 1) {
  for (auto warm = Clock::now(); secondsSince(warm) < 0.1;) once();
  long units = 0;
  auto start = Clock::now();
  double elapsed;
  do {
    once();
    units += batch;
  } while ((elapsed = secondsSince(start)) < gSeconds);
  return units / elapsed;
}

// ---- bare socketpair ----

class BarePair {
 public:
  BarePair() {
    if (plat::pipePair(&a_, &b_) != 0 || plat::setBlocking(a_, true) != 0 ||
        plat::setBlocking(b_, true) != 0) {
      std::fprintf(stderr, "bench: no socketpair\n");
      std::exit(1);
    }
  }
  ~BarePair() {
    plat::closeHandle(a_);
    plat::closeHandle(b_);
    if (peer_.joinable()) peer_.join();
  }
  // The far side: takes `records` records, then sends them all back.
  void startEcho(size_t records) {
    peer_ = std::thread([this, records] {
      std::vector<std::vector<uint8_t>> held(records, std::vector<uint8_t>(plat::kPipeRecordLimit));
      std::vector<size_t> sizes(records);
      while (true) {
        for (size_t i = 0; i < records; ++i)
          if (plat::pipeRead(b_, held[i].data(), held[i].size(), &sizes[i]) != plat::PipeIo::kDone)
            return;
        for (size_t i = 0; i < records; ++i) {
          size_t n;
          if (plat::pipeWrite(b_, held[i].data(), sizes[i], &n) != plat::PipeIo::kDone) return;
        }
      }
    });
  }
  // The far side only reads.
  void startSink() {
    peer_ = std::thread([this] {
      std::vector<uint8_t> buffer(plat::kPipeRecordLimit);
      size_t n;
      while (plat::pipeRead(b_, buffer.data(), buffer.size(), &n) == plat::PipeIo::kDone) {
        if (n == 1 && buffer[0] == 0xee) {  // end of a batch: acknowledge
          size_t m;
          plat::pipeWrite(b_, buffer.data(), 1, &m);
        }
      }
    });
  }
  void send(size_t records, uint8_t* record) {
    size_t n;
    for (size_t i = 0; i < records; ++i) plat::pipeWrite(a_, record, plat::kPipeRecordLimit, &n);
  }
  void receive(size_t records, uint8_t* record) {
    size_t n;
    for (size_t i = 0; i < records; ++i) plat::pipeRead(a_, record, plat::kPipeRecordLimit, &n);
  }
  void sendMarkAndWait() {
    uint8_t mark = 0xee;
    size_t n;
    plat::pipeWrite(a_, &mark, 1, &n);
    plat::pipeRead(a_, &mark, 1, &n);
  }

 private:
  plat::Handle a_, b_;
  std::thread peer_;
};

// ---- engines ----

// Sends every chunk straight back through its own engine, once a whole
// message is in (as a server forwards chunks on without copying them).
class ChunkEcho : public TrIfTranRemote {
 public:
  TrIfTranCommon* engine = nullptr;
  bool deliver(std::shared_ptr<TrIfTranPayload> chunk) override {
    held_.push_back(std::move(chunk));
    if (held_.back()->last) {
      for (auto& c : held_) engine->deliver(std::move(c));
      held_.clear();
    }
    return true;
  }
  void close(bool) override {}

 private:
  std::vector<std::shared_ptr<TrIfTranPayload>> held_;
};

// Joins messages as a client does and reports each whole one.
class Joiner : public TrIfTranRemote {
 public:
  std::function<void()> onMessage;  // loop thread
  Event message;
  bool deliver(std::shared_ptr<TrIfTranPayload> chunk) override {
    if (reader_.append(*chunk) != MessageReader::Append::Complete) return true;
    reader_.reset();
    if (onMessage)
      onMessage();
    else
      message.set();
    return true;
  }
  void close(bool) override {}

 private:
  MessageReader reader_;
};

class EnginePair {
 public:
  EnginePair() {
    plat::Handle a, b;
    if (plat::pipePair(&a, &b) != 0) std::exit(1);
    echo.engine = &far;
    near.notConnected = far.notConnected = 0;
    nearLoop_ = std::thread([this, a] { near.ioLoop(a, &joiner); });
    farLoop_ = std::thread([this, b] { far.ioLoop(b, &echo); });
  }
  ~EnginePair() {
    near.close(true);
    nearLoop_.join();
    farLoop_.join();
  }
  TrIfTranCommon near, far;
  Joiner joiner;
  ChunkEcho echo;

 private:
  std::thread nearLoop_, farLoop_;
};

// The sink for one-way throughput: joins messages, acknowledges every
// `batch`-th with a one-byte message.
class CountingSink : public TrIfTranRemote {
 public:
  TrIfTranCommon* engine = nullptr;
  int batch = 1;
  bool deliver(std::shared_ptr<TrIfTranPayload> chunk) override {
    if (reader_.append(*chunk) != MessageReader::Append::Complete) return true;
    reader_.reset();
    if (++count_ % batch == 0) {
      auto ack = std::make_shared<TrIfTranPayload>();
      ack->length = 1;
      ack->last = 1;
      engine->deliver(ack);
    }
    return true;
  }
  void close(bool) override {}

 private:
  MessageReader reader_;
  long count_ = 0;
};

void row(const char* what, double bare, double engine, const char* unit) {
  std::printf("%-34s %14.0f %14.0f %9.0f%%   %s\n", what, bare, engine, 100.0 * engine / bare,
              unit);
}

// The best of several interleaved trials of each side, so that a busy
// machine's interference hits both alike and is filtered out.
void compare(const char* what, const char* note, const std::function<double()>& bare,
             const std::function<double()>& engine, double scale = 1.0) {
  double bestBare = 0, bestEngine = 0;
  for (int trial = 0; trial < gTrials; ++trial) {
    bestBare = std::max(bestBare, bare());
    bestEngine = std::max(bestEngine, engine());
  }
  row(what, bestBare * scale, bestEngine * scale, note);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::atof(argv[1]) > 0) gSeconds = std::atof(argv[1]);
  if (argc > 2 && std::atoi(argv[2]) > 0) gTrials = std::atoi(argv[2]);
  std::printf("best of %d trials of %.2f s each\n", gTrials, gSeconds);
  std::printf("%-34s %14s %14s %10s\n", "", "bare pair", "engines", "of bare");

  std::vector<uint8_t> record(plat::kPipeRecordLimit, 0x5a);
  record[0] = 1;

  // 1-chunk round trips.
  auto bareSmall = [&] {
    BarePair bare;
    bare.startEcho(1);
    return rate([&] {
      bare.send(1, record.data());
      bare.receive(1, record.data());
    });
  };
  MessageWriter small;
  small.putBytes(record.data() + 1, kOneChunk);
  // Driven from the loop thread: the next request leaves as the reply lands.
  auto engineSmallLoop = [&] {
    EnginePair engines;
    std::atomic<long> left{0};
    Event done;
    engines.joiner.onMessage = [&] {
      if (--left > 0)
        small.send(&engines.near);
      else
        done.set();
    };
    constexpr long kBatch = 1000;
    return rate(
        [&] {
          left = kBatch;
          small.send(&engines.near);
          done.wait();
        },
        kBatch);
  };
  // Driven by a caller thread that waits for each reply, as a client call does.
  auto engineSmallCaller = [&] {
    EnginePair engines;
    return rate([&] {
      small.send(&engines.near);
      engines.joiner.message.wait();
    });
  };
  compare("1-chunk round trips/s", "(next request from the loop thread)", bareSmall,
          engineSmallLoop);
  compare("1-chunk round trips/s", "(caller thread waits for each)", bareSmall, engineSmallCaller);

  // 1 MiB messages.
  const size_t records = kMiB / kOneChunk;
  MessageWriter big;
  std::vector<uint8_t> payload(kMiB, 0xa5);
  big.putBytes(payload.data(), payload.size());
  auto bareBig = [&] {
    BarePair bare;
    bare.startEcho(records);
    return rate([&] {
      bare.send(records, record.data());
      bare.receive(records, record.data());
    });
  };
  auto engineBig = [&] {
    EnginePair engines;
    return rate([&] {
      big.send(&engines.near);
      engines.joiner.message.wait();
    });
  };
  compare("1 MiB round trips/s", "", bareBig, engineBig);

  // One way, acknowledged every 16 messages so that the sender stays ahead.
  constexpr int kBatch = 16;
  auto bareStream = [&] {
    BarePair bare;
    bare.startSink();
    return rate(
        [&] {
          bare.send(records * kBatch, record.data());
          bare.sendMarkAndWait();
        },
        kBatch);
  };
  auto engineStream = [&] {
    plat::Handle a, b;
    if (plat::pipePair(&a, &b) != 0) std::exit(1);
    TrIfTranCommon sender, receiver;
    Joiner acks;
    CountingSink sink;
    sink.engine = &receiver;
    sink.batch = kBatch;
    sender.notConnected = receiver.notConnected = 0;
    std::thread sendLoop([&] { sender.ioLoop(a, &acks); });
    std::thread receiveLoop([&] { receiver.ioLoop(b, &sink); });
    double r = rate(
        [&] {
          for (int i = 0; i < kBatch; ++i) big.send(&sender);
          acks.message.wait();
        },
        kBatch);
    sender.close(true);
    sendLoop.join();
    receiveLoop.join();
    return r;
  };
  compare("1 MiB one way MB/s", "(sender builds chunks, receiver joins them)", bareStream,
          engineStream, double(kMiB) / 1e6);
  return 0;
}
