// The subcommands that work with the broker: `gateway` (gateway.h), `publish` (the demo
// fleet's packets to the partitioned exchange) and `collect` (a queue's messages to JSON
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
};

struct CollectOptions {
  std::string brokers = "127.0.0.1:5672";
  std::string queue = "tavkin.facts";
  std::string out;                 // JSON Lines; standard output when empty
  double idle_seconds = 5;         // stop when nothing came for this long
  std::uint64_t max = 0;           // stop after this many; 0: no limit
  bool base64 = false;             // bodies as standard Base64 (binary messages such as dead packets)
};

[[nodiscard]] int run_publish(const PublishOptions& options);
[[nodiscard]] int run_collect(const CollectOptions& options);

// Adds `gateway`, `publish` and `collect`; each sets `status` when it ran.
void add_broker_commands(CLI::App& app, int& status);

}  // namespace tavkin
