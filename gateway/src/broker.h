// A connection to the message broker over the AMQP 0-9-1 C client: the few operations the
// gateway, the publisher and the collector need, and one event loop entry that returns the
// next delivery, publisher confirm or cancellation. The gateway sees it through
// BrokerSession, so that its tests can drive it with a broker of their own. One thread per
// connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <functional>
#include <optional>
#include <span>
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

// What the gateway asks of a broker session. Each call but next() returns false (or
// nullopt) and sets last_error() when the broker refused or the connection broke.
class BrokerSession {
 public:
  virtual ~BrokerSession() = default;
  virtual bool open_channel(std::uint16_t channel) = 0;
  virtual bool prefetch(std::uint16_t channel, std::uint16_t count) = 0;
  virtual bool confirm_mode(std::uint16_t channel) = 0;  // publishes on it are then numbered from 1
  virtual bool consume(std::uint16_t channel, std::string_view queue, std::string_view consumer_tag) = 0;
  virtual bool publish(std::uint16_t channel, std::string_view exchange, std::string_view routing_key,
                       std::string_view body, const Headers& headers) = 0;
  // `multiple`: every delivery of the channel up to delivery_tag.
  virtual bool ack(std::uint16_t channel, std::uint64_t delivery_tag, bool multiple) = 0;
  // Messages ready in a queue (not counting those delivered and not yet acknowledged).
  [[nodiscard]] virtual std::optional<std::uint32_t> queue_depth(std::uint16_t channel, std::string_view queue) = 0;
  // The next event, or a timeout event after `timeout`.
  [[nodiscard]] virtual BrokerEvent next(std::chrono::milliseconds timeout) = 0;
  [[nodiscard]] virtual const std::string& last_error() const = 0;
  [[nodiscard]] virtual bool broken() const = 0;
  // Closes `channels` and then the connection, each waiting for the broker's -ok, after a
  // synchronous request on each channel (basic.qos, which also slows further deliveries):
  // the broker answers it only after every frame before it, so acknowledgements sent just
  // before are settled and not dropped with a connection that closes at once. Deliveries
  // received and not acknowledged go back to their queues. The session is unusable
  // afterwards; false with last_error() when a step failed.
  virtual bool close_gracefully(std::span<const std::uint16_t> channels) = 0;
};

// Makes a session with the broker at `address`; nullptr with a reason when it cannot.
using BrokerSessionFactory =
    std::function<std::unique_ptr<BrokerSession>(const BrokerAddress& address, std::string& error)>;

class BrokerConnection final : public BrokerSession {
 public:
  // Connects and logs in; nullptr with a reason when the broker cannot be reached.
  [[nodiscard]] static std::unique_ptr<BrokerConnection> open(const BrokerAddress& address, std::string& error,
                                                               std::chrono::seconds heartbeat = std::chrono::seconds(10));
  ~BrokerConnection() override;
  BrokerConnection(const BrokerConnection&) = delete;
  BrokerConnection& operator=(const BrokerConnection&) = delete;

  // As BrokerSession.
  bool open_channel(std::uint16_t channel) override;
  bool prefetch(std::uint16_t channel, std::uint16_t count) override;
  bool confirm_mode(std::uint16_t channel) override;
  bool consume(std::uint16_t channel, std::string_view queue, std::string_view consumer_tag) override;
  bool publish(std::uint16_t channel, std::string_view exchange, std::string_view routing_key, std::string_view body,
               const Headers& headers = {}) override;
  bool ack(std::uint16_t channel, std::uint64_t delivery_tag, bool multiple = false) override;
  [[nodiscard]] std::optional<std::uint32_t> queue_depth(std::uint16_t channel, std::string_view queue) override;
  [[nodiscard]] BrokerEvent next(std::chrono::milliseconds timeout) override;
  [[nodiscard]] const std::string& last_error() const override { return error_; }
  [[nodiscard]] bool broken() const override { return broken_; }
  bool close_gracefully(std::span<const std::uint16_t> channels) override;
  // Acknowledges every delivery on `channel` up to `acknowledge_through` in one frame
  // (multiple; 0: none), then closes as above with that one channel.
  bool close_gracefully(std::uint16_t channel, std::uint64_t acknowledge_through);
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
