// Sends back every byte it receives, fragment by fragment with the same
// message boundaries; it never needs a whole message in memory.
#pragma once

#include "devsim/Service.h"

namespace devsim {

class EchoService : public Service {
 public:
  explicit EchoService(std::shared_ptr<ServiceChannel> channel) : channel_(std::move(channel)) {}
  void onData(const uint8_t* data, size_t length, bool last) override;

  static ServiceFactory factory();

 private:
  std::shared_ptr<ServiceChannel> channel_;
};

}  // namespace devsim
