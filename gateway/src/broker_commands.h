// The subcommands that work with the broker: `gateway` (gateway.h), `publish` (the demo
// fleet's packets to the partitioned exchange, over AMQP or MQTT) and `collect` (a queue's messages to JSON
// Lines). `add_broker_commands` wires them into the tool's command line.
#pragma once

#include <cstdint>
#include <string>

namespace CLI {
class App;
}

namespace tavkin {

struct PublishOptions {
  std::string brokers = "127.0.0.1:5672";
  std::string exchange = "tavkin.packets";
  std::uint64_t facts = 20000;
  std::uint32_t devices = 12;
  bool moving = false;             // the moving fleet: a quarter of the devices move, a quarter talk
  std::uint64_t seed = 1;
  double rate = 0;                 // facts per second; 0: as fast as the broker confirms
  std::uint32_t window = 256;      // publishes not yet confirmed
  std::string registry;            // the sender's registry root; empty: none
  std::string expect_out;          // JSON Lines: {"dedup_key": .., "fact": the expected answer}
  bool quiet = false;
  bool state_check = true;         // false: the published bytes
  std::uint32_t first_device = 0;  // the fleet's devices are numbered from here (senders that share a broker)
  std::uint64_t keyframe_every = 100;  // a device's every N-th packet is full; 0: never
  std::uint32_t batch = 0;         // packets per message (batch framing); 0: one packet per message, keyed by device
  std::uint32_t edges = 12;        // with batch: edge senders the devices are grouped into, one routing key each
  double batch_ms = 50;            // with batch: longest time a packet waits for its batch to fill
  std::string packets_out;         // every published packet as a standard Base64 line (what `decode` reads)
  bool mqtt = false;               // publish over MQTT (QoS 1, topic tavkin/packets/<device id>); brokers are MQTT listeners
};

struct CollectOptions {
  std::string brokers = "127.0.0.1:5672";
  std::string queue = "tavkin.facts";
  std::string out;                 // JSON Lines; standard output when empty
  double idle_seconds = 5;         // stop when nothing came for this long
  std::uint64_t max = 0;           // stop after this many; 0: no limit
  bool base64 = false;             // bodies as standard Base64 (binary messages such as dead packets)
  bool depth = false;              // print the number of messages ready in the queue and stop
};

[[nodiscard]] int run_publish(const PublishOptions& options);
[[nodiscard]] int run_collect(const CollectOptions& options);

// Adds `gateway`, `publish` and `collect`; each sets `status` when it ran.
void add_broker_commands(CLI::App& app, int& status);

}  // namespace tavkin
