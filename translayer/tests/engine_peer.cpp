// The far end of the two-process engine test: connects to the pipe named on
// its command line, echoes every logical message it receives, and exits 0
// when the channel ended after exactly the expected number of messages.
//
// usage: engine_peer <pipe name> <messages expected>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "plat/msgpipe.h"
#include "translayer/TrIfTranCommon.h"

using translayer::MessageReader;
using translayer::MessageWriter;
using translayer::TrIfTranCommon;
using translayer::TrIfTranPayload;
using translayer::TrIfTranRemote;

namespace {

class Echo : public TrIfTranRemote {
 public:
  explicit Echo(TrIfTranCommon* engine) : engine_(engine) {}

  bool deliver(std::shared_ptr<TrIfTranPayload> chunk) override {
    switch (reader_.append(*chunk)) {
      case MessageReader::Append::More:
        return true;
      case MessageReader::Append::Failed:
        std::fprintf(stderr, "engine_peer: message %d could not be held\n", messages);
        failed = true;
        return false;
      case MessageReader::Append::Complete:
        break;
    }
    if (reader_.length() == 0) {
      std::fprintf(stderr, "engine_peer: an empty message arrived\n");
      failed = true;
    }
    MessageWriter reply;
    if (!reply.putBytes(reader_.data(), size_t(reader_.length())) || !reply.send(engine_)) {
      failed = true;
      return false;
    }
    reader_.reset();
    ++messages;
    return true;
  }
  void close(bool) override { ++closes; }

  int messages = 0;
  int closes = 0;
  bool failed = false;

 private:
  TrIfTranCommon* engine_;
  MessageReader reader_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: engine_peer <pipe name> <messages expected>\n");
    return 2;
  }
  const int expected = std::atoi(argv[2]);
  plat::Handle pipe;
  if (int rc = plat::pipeConnect(argv[1], &pipe)) {
    std::fprintf(stderr, "engine_peer: cannot open %s: %d\n", argv[1], rc);
    return 3;
  }
  TrIfTranCommon engine;
  Echo echo(&engine);
  engine.notConnected = 0;
  engine.connectResult.set();
  engine.ioLoop(pipe, &echo);  // until the test closes its end
  if (echo.closes != 1 || echo.failed || echo.messages != expected) {
    std::fprintf(stderr, "engine_peer: %d messages (expected %d), %d closes%s\n", echo.messages,
                 expected, echo.closes, echo.failed ? ", failed" : "");
    return 1;
  }
  return 0;
}
