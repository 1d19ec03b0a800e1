// How a device's packets are addressed on the broker. The consistent-hash exchange picks a
// partition from the routing key, so both transports must carry the same key for a device:
// AMQP senders publish with device_routing_key(aid), and an MQTT device publishes to
// mqtt_topic_of() it, which the broker's MQTT plugin turns back into that key ('/' becomes
// '.') on amq.topic, bound to the exchange with "tavkin.packets.*".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavkin {

inline constexpr std::string_view kDeviceKeyPrefix = "tavkin.packets.";

[[nodiscard]] inline std::string device_routing_key(std::uint32_t aid) {
  return std::string(kDeviceKeyPrefix) + std::to_string(aid);
}

// The MQTT topic the broker delivers to amq.topic with `routing_key`.
[[nodiscard]] inline std::string mqtt_topic_of(std::string_view routing_key) {
  std::string topic(routing_key);
  for (char& c : topic) {
    if (c == '.') c = '/';
  }
  return topic;
}

}  // namespace tavkin
