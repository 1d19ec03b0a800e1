// A connection to the message broker over the AMQP 0-9-1 C client: the few operations the
// gateway, the publisher and the collector need, and one event loop entry that returns the
// next delivery, publisher confirm or cancellation. One thread per connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavkin {

struct BrokerAddress {
  std::string host;
  int port = 5672;
};

// "host:port[,host:port...]"; nullopt with a reason when an entry does not read.
[[nodiscard]] std::optional<std::vector<BrokerAddress>> parse_brokers(std::string_view list, std::string& error);

// Headers of a published message, all text.
using Headers = std::vector<std::pair<std::string, std::string>>;

struct BrokerEvent {
  enum class Kind { timeout, delivery, confirm, reject, cancelled, closed };
  Kind kind = Kind::timeout;
  std::uint16_t channel = 0;
  std::uint64_t tag = 0;     // delivery tag, or the publish number a confirm covers
  bool multiple = false;     // a confirm covers every number up to tag
  bool redelivered = false;
  std::string consumer_tag;
  std::string routing_key;
  std::string body;
  std::string error;         // kind closed: why
};

class BrokerConnection {
 public:
  // Connects and logs in; nullptr with a reason when the broker cannot be reached.
  [[nodiscard]] static std::unique_ptr<BrokerConnection> open(const BrokerAddress& address, std::string& error,
                                                               std::chrono::seconds heartbeat = std::chrono::seconds(10));
  ~BrokerConnection();
  BrokerConnection(const BrokerConnection&) = delete;
  BrokerConnection& operator=(const BrokerConnection&) = delete;

  // Each returns false and sets last_error() when the broker refused or the connection broke.
  bool open_channel(std::uint16_t channel);
  bool prefetch(std::uint16_t channel, std::uint16_t count);
  bool confirm_mode(std::uint16_t channel);  // publishes on it are then numbered from 1
  bool consume(std::uint16_t channel, std::string_view queue, std::string_view consumer_tag);
  bool publish(std::uint16_t channel, std::string_view exchange, std::string_view routing_key, std::string_view body,
               const Headers& headers = {});
  bool ack(std::uint16_t channel, std::uint64_t delivery_tag);
  // Messages ready in a queue (not counting those delivered and not yet acknowledged).
  [[nodiscard]] std::optional<std::uint32_t> queue_depth(std::uint16_t channel, std::string_view queue);

  // The next event, or a timeout event after `timeout`.
  [[nodiscard]] BrokerEvent next(std::chrono::milliseconds timeout);

  [[nodiscard]] const std::string& last_error() const { return error_; }

  // Acknowledges every delivery on `channel` up to `acknowledge_through` in one frame
  // (multiple; 0: none), then closes the channel and the connection, each waiting for the
  // broker's -ok, after a synchronous request on the channel (basic.qos) that the broker
  // answers only after every frame before it. One acknowledgement of many is handed to the
  // queue at once, ahead of the close; a burst of single acknowledgements to a quorum queue
  // is handed over a few at a time, and those still waiting are dropped when the channel
  // closes, their messages delivered again. Deliveries not acknowledged go back to the
  // queue. The connection is unusable afterwards; false with last_error() when a step failed.
  bool close_gracefully(std::uint16_t channel, std::uint64_t acknowledge_through);
  [[nodiscard]] bool broken() const { return broken_; }
  [[nodiscard]] const BrokerAddress& address() const { return address_; }

 private:
  explicit BrokerConnection(BrokerAddress address);
  bool check_rpc(const char* what);
  bool check_status(int status, const char* what);

  struct State;
  std::unique_ptr<State> state_;
  BrokerAddress address_;
  std::string error_;
  bool broken_ = false;
};

}  // namespace tavkin
