// A publishing session with the broker's MQTT listener over libmosquitto: MQTT 3.1.1,
// clean session, QoS 1. Publishes are numbered from 1 in the order made, and next()
// reports the broker's PUBACK of a number as a confirm event, as BrokerConnection reports
// AMQP publisher confirms, so the publisher keeps one account of what is unacknowledged.
// A session is not reconnected: after a lost connection the caller opens a new one and
// publishes again whatever was not acknowledged. A topic (a device) has a bounded number
// of messages awaiting PUBACK, so that a copy published again is among the packets its
// receiver remembers and is answered "already applied". One thread per session; the library's
// network loop runs inside publish() and next(), never on a thread of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "broker.h"

struct mosquitto;

namespace tavkin {

class MqttSession {
 public:
  // Connects and waits for the broker's CONNACK; nullptr with a reason when it cannot.
  // `in_flight`: publishes sent and not yet acknowledged at most (1..65535); more wait in
  // the library until acknowledgements make room. `per_topic`: of those, on one topic at
  // most; publish() waits for acknowledgements when a topic has that many.
  [[nodiscard]] static std::unique_ptr<MqttSession> open(const BrokerAddress& address, std::uint16_t in_flight,
                                                          std::uint32_t per_topic, std::string& error,
                                                          std::chrono::seconds keepalive = std::chrono::seconds(10));
  ~MqttSession();
  MqttSession(const MqttSession&) = delete;
  MqttSession& operator=(const MqttSession&) = delete;

  // Publishes `body` on `topic` with QoS 1; false with last_error() when the connection broke.
  // Acknowledgements that come while it waits for room are reported by next() as usual.
  bool publish(std::string_view topic, std::string_view body);
  // The next acknowledgement (a confirm event), a closed event when the connection broke,
  // or a timeout event after `timeout`.
  [[nodiscard]] BrokerEvent next(std::chrono::milliseconds timeout);
  [[nodiscard]] const std::string& last_error() const { return error_; }
  [[nodiscard]] bool broken() const { return broken_; }

 private:
  MqttSession() = default;
  bool fail(int code, std::string_view what);
  static void on_connect(mosquitto* mosq, void* self, int code);
  static void on_publish(mosquitto* mosq, void* self, int mid);
  static void on_disconnect(mosquitto* mosq, void* self, int code);

  mosquitto* mosq_ = nullptr;
  BrokerAddress address_;
  int connack_ = -1;  // the CONNACK's code; -1 before it came
  std::uint32_t per_topic_ = 1;
  std::uint64_t published_ = 0;
  struct InFlight {
    std::uint64_t number;
    std::string topic;
  };
  std::unordered_map<int, InFlight> in_flight_;  // by message id, until acknowledged
  std::unordered_map<std::string, std::uint32_t> topic_in_flight_;
  std::deque<std::uint64_t> acknowledged_;          // publish numbers not yet reported by next()
  std::string error_;
  bool broken_ = false;
};

}  // namespace tavkin
