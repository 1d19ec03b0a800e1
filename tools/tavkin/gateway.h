// `tavkin gateway`: a long-running receiver on the broker. It subscribes to every
// partition queue (the broker keeps one consumer active per partition), decodes each
// packet in the library context of its partition with a registry root that all gateways
// share, publishes each fact with publisher confirms, and acknowledges the packet only
// once the fact is confirmed (the registry file was written by the decode itself).
// Packets it cannot decode are dead-lettered with their reason. See docs/deployment.md.
#pragma once

#include <cstdint>
#include <string>

namespace tavkin {

struct GatewayOptions {
  std::string brokers = "127.0.0.1:5672";   // tried in turn, from the first
  std::string registry_root;                 // shared by all gateways; required
  std::uint32_t partitions = 6;
  std::string name;                          // in every fact and log line; default gw-<pid>
  std::string jsonl_out;                     // also append every fact to this file
  std::uint16_t prefetch = 64;               // unacknowledged packets per partition
  // Gateway `prefer_index` of `prefer_count` subscribes at once to the partitions k with
  // k % prefer_count == prefer_index and to the others `standby_seconds` later, so that
  // gateways started together share the partitions (the broker makes the first consumer
  // of a partition its active one). prefer_count 0: all at once.
  std::uint32_t prefer_index = 0;
  std::uint32_t prefer_count = 0;
  double standby_seconds = 3;
  double status_seconds = 5;
  double drain_seconds = 30;                 // after SIGTERM, at most this long for the last confirms
  double give_up_seconds = 0;                // without any broker for this long: exit 3 (0: never)
  std::string packets_queue = "tavkin.packets";
  std::string facts_exchange = "tavkin.facts";
  std::string dead_exchange = "tavkin.dead";
  // Require the state check of heartbeats and differences; a packet whose check does not
  // hold is dead-lettered (state_mismatch). False for senders of the published bytes.
  bool state_check = true;
};

// Exit statuses, for a supervisor.
enum GatewayExit : int {
  kGatewayStopped = 0,       // stopped by SIGTERM or SIGINT; every decoded packet acknowledged
  kGatewayFailed = 1,        // could not start: registry root or output file unusable
  kGatewayUsage = 2,         // bad options
  kGatewayNoBroker = 3,      // no broker reachable for --give-up-after seconds
  kGatewayWorkLeft = 4,      // stopped with decoded packets unacknowledged; the broker redelivers them
};

[[nodiscard]] int run_gateway(const GatewayOptions& options);

}  // namespace tavkin
