// The linkhub program as a child process of a test, with a private runtime
// directory: starting it, asking it for its devices, signalling it.
#pragma once

#include <string>
#include <vector>

#include "hub_support.h"
#include "rpc_child.h"
#include "translayer/ConnectionServerRpc.h"

namespace hubtest {

class HubProgramTest : public RuntimeDirTest {
 protected:
  // Standard error as the child's output (standard output goes nowhere: the
  // program has nothing to say there).
  bool startHub(plat::test::ChildProcess& child) {
    return child.start("/bin/sh", {"-c", "exec \"$0\" 2>&1 >/dev/null", LINKHUB_PROGRAM});
  }
  // The number of devices the server lists, or -1 when it does not answer.
  int onlineCount() {
    std::vector<translayer::HwId> seen;
    uint32_t exception = 0;
    const int rc = translayer::GetOnlineDevices(
        binding_, 3,
        [&](uint64_t, const translayer::HwId* ids, size_t n) { seen.assign(ids, ids + n); },
        &exception);
    return rc == 0 ? int(seen.size()) : -1;
  }
  int signal(plat::test::ChildProcess& hub, const char* which) {
    plat::test::ChildProcess kill;
    if (!kill.start("/bin/kill", {which, std::to_string(hub.pid())})) return -1;
    return kill.wait();
  }

  plat::RpcBinding binding_;
};

}  // namespace hubtest
