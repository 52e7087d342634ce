#include "devsim/EchoService.h"

namespace devsim {

void EchoService::onData(const uint8_t* data, size_t length, bool last) {
  channel_->send(data, length, last);
}

ServiceFactory EchoService::factory() {
  return [](std::shared_ptr<ServiceChannel> channel) -> std::unique_ptr<Service> {
    return std::make_unique<EchoService>(std::move(channel));
  };
}

}  // namespace devsim
