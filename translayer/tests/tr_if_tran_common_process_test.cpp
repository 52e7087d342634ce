// Two processes, each with its own engine, exchange logical messages over a
// named pipe: every byte arrives, in order, and both ends see the channel end
// once.
#include <cstdlib>
#include <string>

#include "engine_support.h"
#include "plat/msgpipe.h"

using translayer::MessageWriter;
using translayer::TrIfTranCommon;

using namespace enginetest;

namespace {

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new RuntimeDirEnvironment);

// Where two messages first differ, without printing megabytes.
std::string firstDifference(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
  if (got.size() != want.size())
    return "size " + std::to_string(got.size()) + " instead of " + std::to_string(want.size());
  for (size_t i = 0; i < got.size(); ++i)
    if (got[i] != want[i]) return "byte " + std::to_string(i) + " differs";
  return "";
}

TEST(EngineProcessTest, MessagesCrossTwoProcessesByteExactAndInOrder) {
  const char* peer = std::getenv("ENGINE_PEER");
  ASSERT_TRUE(peer && *peer) << "ENGINE_PEER names the helper program";
  const std::string name = "\\\\.\\pipe\\EngineTest\\Process";
  plat::Handle listener;
  ASSERT_EQ(plat::pipeListen(name, &listener), 0);

  const size_t sizes[] = {1, 1023, 1024, 1025, 100000, 10000000};
  const std::string command =
      std::string("'") + peer + "' '" + name + "' " + std::to_string(std::size(sizes));
  auto helper = std::async(std::launch::async, [command] { return std::system(command.c_str()); });

  plat::Handle server = plat::kInvalidHandle;
  EXPECT_EQ(plat::pipeAccept(listener, &server, 60000), 0);
  if (server == plat::kInvalidHandle) {
    plat::pipeAbandon(listener);
    helper.wait();
    return;
  }
  TrIfTranCommon engine;
  Recorder receiver;
  {
    Loop loop(engine, server, &receiver);
    // All at once, so both directions are busy together; an empty writer in
    // between puts nothing on the pipe (the peer fails on an empty message).
    std::vector<std::vector<uint8_t>> sent;
    for (size_t i = 0; i < std::size(sizes); ++i) {
      sent.push_back(pattern(sizes[i], uint32_t(i + 1)));
      sendMessage(&engine, sent.back());
      MessageWriter empty;
      EXPECT_TRUE(empty.send(&engine));
    }
    for (size_t i = 0; i < sent.size(); ++i) {
      std::shared_ptr<std::vector<uint8_t>> echoed;
      ASSERT_TRUE(receiver.messages.popFor(echoed, 120000)) << "echo of message " << i;
      EXPECT_EQ(firstDifference(*echoed, sent[i]), "") << "message " << i << " of " << sizes[i];
    }
    std::shared_ptr<std::vector<uint8_t>> extra;
    EXPECT_FALSE(receiver.messages.popFor(extra, 100)) << "nothing beyond the echoes";
    engine.close(true);
    EXPECT_EQ(receiver.closes, 1);
  }
  ASSERT_EQ(helper.wait_for(kLong), std::future_status::ready);
  EXPECT_EQ(helper.get(), 0) << "the peer's verdict (see its standard error)";
}

}  // namespace
