// A scripted connection server for the channel client tests, run as its own
// process: serves ConnectionServerRpc at the control endpoint of
// $LINKHUB_RUNTIME_DIR, prints "ready", reports each call on a line of its
// standard output, and stops when its standard input closes.
//
//   --callbacks a,b,...  what each GetOnlineDevices call sends back, in turn
//                        (the last repeats): N (N ids), forged (another
//                        cookie), short (one id byte missing), long (one
//                        byte too many), negative (count -1), number (an
//                        unknown callback number)
//   --open MODE          OpenChannel: refuse (result = the protocol id),
//                        pipe (a real pipe with an echo channel behind it),
//                        pipe-close (as pipe, the server ends the channel
//                        after one echo), absent (a name nobody listens on),
//                        die (the process ends in the middle of the call)
//
// Lines: "devices <callback status>", "open <protocol id> <size> <hwid hex>",
// "select <window>", "echo <bytes>", "channel closed", "stopped".
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plat/msgpipe.h"
#include "translayer/ConnectionServerRpc.h"
#include "translayer/Payload.h"
#include "translayer/TrIfTranCommon.h"

using translayer::ConnectionServerCall;
using translayer::ConnectionServerRpcHandler;
using translayer::ConnectionServerRpcServer;
using translayer::HwId;
using translayer::kOnlineDevicesCallback;
using translayer::MessageReader;
using translayer::MessageWriter;
using translayer::TrIfTranCommon;
using translayer::TrIfTranPayload;
using translayer::TrIfTranRemote;

namespace {

std::mutex outputMutex;

void report(const std::string& line) {
  std::lock_guard<std::mutex> lock(outputMutex);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string hex(const HwId& id) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (uint8_t b : id.id) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t comma = s.find(',', start);
    parts.push_back(s.substr(start, comma == std::string::npos ? comma : comma - start));
    if (comma == std::string::npos) return parts;
    start = comma + 1;
  }
}

// The device ids the tests expect: id k is bytes k*16 .. k*16+15, plus 1.
HwId deviceId(int k) {
  HwId id;
  for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(k * 16 + i + 1);
  return id;
}

// Answers every whole message with the same bytes, the first plus 1 (the
// reply code of a request).
class EchoChannel final : public TrIfTranRemote {
 public:
  EchoChannel(plat::Handle listener, bool closeAfterEcho)
      : listener_(listener), closeAfterEcho_(closeAfterEcho) {
    thread_ = std::thread([this] { run(); });
  }
  ~EchoChannel() {
    engine_.close(false);
    thread_.join();
  }

  bool deliver(std::shared_ptr<TrIfTranPayload> chunk) override {
    switch (reader_.append(*chunk)) {
      case MessageReader::Append::More:
        return true;
      case MessageReader::Append::Failed:
        return false;
      case MessageReader::Append::Complete:
        break;
    }
    std::vector<uint8_t> message(reader_.data(), reader_.data() + reader_.length());
    reader_.reset();
    if (!message.empty()) message[0] += 1;
    MessageWriter reply;
    reply.putBytes(message.data(), message.size());
    report("echo " + std::to_string(reply.length()));
    reply.send(&engine_);
    if (closeAfterEcho_) engine_.close(false);
    return true;
  }
  void close(bool) override { report("channel closed"); }

 private:
  void run() {
    plat::Handle pipe = plat::kInvalidHandle;
    if (plat::pipeAccept(listener_, &pipe, 20000) != 0) {
      plat::pipeAbandon(listener_);
      report("no client");
      return;
    }
    engine_.ioLoop(pipe, this);
  }

  plat::Handle listener_;
  bool closeAfterEcho_;
  TrIfTranCommon engine_;
  MessageReader reader_;
  std::thread thread_;
};

class ScriptedServer : public ConnectionServerRpcHandler {
 public:
  std::vector<std::string> callbacks{"0"};
  std::string openMode = "refuse";

  uint16_t GetOnlineDevices(ConnectionServerCall& call, uint64_t cookie) override {
    std::string what;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      what = callbacks[std::min(next_, callbacks.size() - 1)];
      ++next_;
    }
    uint32_t status;
    if (what == "forged") {
      HwId id = deviceId(0);
      status = call.onlineDevicesCallback(cookie + 1, &id, 1);
    } else if (what == "short" || what == "long" || what == "negative" || what == "number") {
      std::vector<uint8_t> args;
      for (int i = 0; i < 8; ++i) args.push_back(uint8_t(cookie >> (8 * i)));
      const int16_t count = what == "negative" ? -1 : 2;
      args.push_back(uint8_t(count));
      args.push_back(uint8_t(uint16_t(count) >> 8));
      size_t bytes = what == "short" ? 31 : what == "long" ? 33 : 32;
      for (size_t i = 0; i < bytes; ++i) args.push_back(uint8_t(i));
      status = call.transport().callback(what == "number" ? 1 : kOnlineDevicesCallback, args);
    } else {
      std::vector<HwId> ids;
      for (int k = 0, n = std::atoi(what.c_str()); k < n; ++k) ids.push_back(deviceId(k));
      status = call.onlineDevicesCallback(cookie, ids.data(), ids.size());
    }
    report("devices " + std::to_string(status));
    return status == 0 ? 0 : 4;
  }

  uint16_t AskUserDeviceSelection(ConnectionServerCall&, HwId* hwid, uint64_t window) override {
    report("select " + std::to_string(window));
    // Window 1 picks the next id; any other cancels, after scribbling on
    // the id to show that a cancel sends back the id that came in.
    for (uint8_t& b : hwid->id) b = uint8_t(b + 1);
    return window == 1 ? 0 : 5;
  }

  uint16_t OpenChannel(ConnectionServerCall&, const HwId& hwid, uint8_t protocolId, int16_t size,
                       std::string* pipeName) override {
    report("open " + std::to_string(protocolId) + " " + std::to_string(size) + " " + hex(hwid));
    if (openMode == "die") {
      std::fflush(stdout);
      std::_Exit(3);
    }
    if (openMode == "refuse") return protocolId;
    char name[64];
    std::lock_guard<std::mutex> lock(mutex_);
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\zamoconnectionserver_\\%08X", counter_++);
    *pipeName = name;
    if (openMode == "absent") return 0;
    plat::Handle listener;
    if (plat::pipeListen(name, &listener) != 0) return 1;
    channels_.push_back(std::make_unique<EchoChannel>(listener, openMode == "pipe-close"));
    return 0;
  }

  void closeChannels() {
    std::lock_guard<std::mutex> lock(mutex_);
    channels_.clear();
  }

 private:
  std::mutex mutex_;
  size_t next_ = 0;
  unsigned counter_ = 0;
  std::vector<std::unique_ptr<EchoChannel>> channels_;
};

}  // namespace

int main(int argc, char** argv) {
  ScriptedServer handler;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i], value = argv[i + 1];
    if (flag == "--callbacks")
      handler.callbacks = split(value);
    else if (flag == "--open")
      handler.openMode = value;
    else
      return 2;
  }
  ConnectionServerRpcServer server(&handler);
  if (uint32_t rc = server.start()) {
    report("start failed " + std::to_string(rc));
    return 1;
  }
  report("ready");
  while (std::getchar() != EOF) {
  }
  server.stop();
  handler.closeChannels();
  report("stopped");
  return 0;
}
