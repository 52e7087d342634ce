// The service side of a device channel. A service is registered by protocol
// id (Device::registerService); the device makes one instance per channel
// that the host opens for that id, and destroys it when the channel ends.
//
// Threads: every Service call runs on the device's thread (for a driven
// device, the thread that drives it: the vbus I/O thread), never with a
// device lock held, so a service may send from inside onData. A service that
// runs threads of its own must stop them in its destructor; ServiceChannel is
// safe to use from any thread, and harmless after the channel has ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace devsim {

// The device end of one open channel, as a service sees it.
class ServiceChannel {
 public:
  virtual ~ServiceChannel() = default;
  virtual uint8_t channel() const = 0;
  virtual uint8_t protocolId() const = 0;
  // Queues data for the host, cut into link frames; `last` ends a message.
  // An empty send with `last` sends an empty last fragment; without it,
  // nothing. False once the channel has ended.
  virtual bool send(const uint8_t* data, size_t length, bool last) = 0;
  bool send(const std::vector<uint8_t>& message) {
    return send(message.data(), message.size(), true);
  }
  // Closes the channel from the device's side, after the data already queued.
  virtual void close() = 0;
  virtual bool isOpen() const = 0;
};

class Service {
 public:
  virtual ~Service() = default;
  // The host's data, fragment by fragment as it arrives, in order; `last`
  // ends a message (an empty last fragment is possible).
  virtual void onData(const uint8_t* data, size_t length, bool last) = 0;
  // The channel has ended (closed by the host or the device, or a link
  // reset). Nothing is called after it; the object is destroyed next.
  virtual void onClosed() {}
};

// Makes the service for a channel the host has just opened. Null refuses the
// channel (the device closes it again).
using ServiceFactory = std::function<std::unique_ptr<Service>(std::shared_ptr<ServiceChannel>)>;

// Joins a channel's fragments into whole messages at the last-fragment bit.
class MessageAssembler {
 public:
  enum class Result { kMore, kComplete, kTooLong };

  explicit MessageAssembler(size_t limit = kDefaultLimit) : limit_(limit) {}
  // Adds one fragment. kComplete: message() holds a whole message until the
  // next add(). kTooLong: the message passed the limit and was dropped.
  Result add(const uint8_t* data, size_t length, bool last);
  const std::vector<uint8_t>& message() const { return message_; }

  static constexpr size_t kDefaultLimit = 16u << 20;

 private:
  size_t limit_;
  std::vector<uint8_t> message_;
  bool complete_ = false;  // message_ holds a finished message
  bool overflow_ = false;  // dropping the rest of a too long message
};

// Base of request/reply services: sees whole messages. A message over the
// limit closes the channel.
class MessageService : public Service {
 public:
  explicit MessageService(std::shared_ptr<ServiceChannel> channel,
                          size_t limit = MessageAssembler::kDefaultLimit)
      : channel_(std::move(channel)), assembler_(limit) {}
  void onData(const uint8_t* data, size_t length, bool last) final;

 protected:
  virtual void onMessage(const std::vector<uint8_t>& message) = 0;
  ServiceChannel& channel() { return *channel_; }
  const std::shared_ptr<ServiceChannel>& channelPtr() const { return channel_; }

 private:
  std::shared_ptr<ServiceChannel> channel_;
  MessageAssembler assembler_;
};

}  // namespace devsim
