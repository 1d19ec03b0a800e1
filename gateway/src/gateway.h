// `tavkin gateway`: a long-running receiver on the broker. It subscribes to every
// partition queue (the broker keeps one consumer active per partition), decodes each
// message (one packet or a batch) on arrival in the library context of its partition with
// a registry root that all gateways share, and publishes each fact with publisher confirms.
// Packets it cannot decode are dead-lettered with their reason. At checkpoints it waits for
// every confirm, writes the changed registry files and only then acknowledges what it
// decoded; see gateway_checkpoints.h and docs/deployment.md. The loop: gateway.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "broker.h"

namespace tavkin {

struct GatewayOptions {
  std::string brokers = "127.0.0.1:5672";   // tried in turn, from the first
  std::string registry_root;                 // shared by all gateways; required
  std::uint32_t partitions = 6;
  std::string name;                          // in every fact and log line; default gw-<pid>
  std::string jsonl_out;                     // also append every fact to this file
  // Unacknowledged messages per partition: room for two checkpoints' worth of single-packet
  // messages, so that deliveries keep coming while a checkpoint waits for its confirms.
  std::uint16_t prefetch = 4000;
  // Gateway `prefer_index` of `prefer_count` subscribes at once to the partitions k with
  // k % prefer_count == prefer_index and to the others `standby_seconds` later, so that
  // gateways started together share the partitions (the broker makes the first consumer
  // of a partition its active one). prefer_count 0: all at once.
  std::uint32_t prefer_index = 0;
  std::uint32_t prefer_count = 0;
  double standby_seconds = 3;
  double status_seconds = 5;                 // a status line (JSON) every this long
  std::uint16_t metrics_port = 0;            // serve /metrics for Prometheus here (0: no endpoint)
  std::string metrics_address = "127.0.0.1";
  double drain_seconds = 30;                 // after SIGTERM, at most this long for the last confirms
  double give_up_seconds = 0;                // without any broker for this long: exit 3 (0: never)
  std::string packets_queue = "tavkin.packets";
  std::string facts_exchange = "tavkin.facts";
  std::string dead_exchange = "tavkin.dead";
  // Require the state check of heartbeats and differences; a packet whose check does not
  // hold is dead-lettered (state_mismatch). False for senders of the published bytes.
  bool state_check = true;
  // A checkpoint every this many decoded packets, or this long after the first decode not
  // yet saved, whichever comes first (also before a device passes half the library's
  // window of packets applied once, and when stopping).
  std::uint32_t checkpoint_packets = 2000;
  double checkpoint_ms = 100;
  bool fsync = true;                         // registry files reach the disk before the acks
  bool facts_batch = false;                  // one facts message (JSON Lines) per input message
  std::uint32_t test_kill_after_checkpoint = 0;  // fault tests: SIGKILL after the K-th save, before its acks
};

// Exit statuses, for a supervisor.
enum GatewayExit : int {
  kGatewayStopped = 0,       // stopped by SIGTERM or SIGINT; every decoded packet acknowledged
  kGatewayFailed = 1,        // could not start: registry root, output file or metrics endpoint unusable
  kGatewayUsage = 2,         // bad options
  kGatewayNoBroker = 3,      // no broker reachable for --give-up-after seconds
  kGatewayWorkLeft = 4,      // stopped with decoded packets unacknowledged; the broker redelivers them
};

[[nodiscard]] int run_gateway(const GatewayOptions& options);

// The same loop with sessions from `connect` and without signal handlers: it stops as on
// SIGTERM once `stop` is set. For tests.
[[nodiscard]] int run_gateway(const GatewayOptions& options, const BrokerSessionFactory& connect,
                              const std::atomic<bool>& stop);

}  // namespace tavkin
