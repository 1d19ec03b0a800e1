// Command-line wiring of the broker subcommands; see broker_commands.h.
#include "broker_commands.h"

#include <CLI/CLI.hpp>

#include "gateway.h"

namespace tavkin {

void add_broker_commands(CLI::App& app, int& status) {
  static GatewayOptions gateway;
  auto* gw = app.add_subcommand("gateway", "receive packets from the broker's partitions, decode them, publish the facts");
  gw->footer(
      "Exit status: 0 stopped by SIGTERM/SIGINT with all work finished; 1 could not start (registry root or\n"
      "output file); 2 bad options; 3 no broker reachable for --give-up-after seconds; 4 stopped with packets\n"
      "unfinished (the broker delivers them again). A status line (one JSON object) goes to standard error every\n"
      "--status seconds; --metrics-port serves the same counters at /metrics for Prometheus.");
  gw->add_option("--brokers", gateway.brokers, "broker addresses host:port, comma separated, tried in turn")
      ->capture_default_str();
  gw->add_option("--registry", gateway.registry_root, "registry root shared by all gateways")->required();
  gw->add_option("--partitions", gateway.partitions, "number of partition queues")
      ->capture_default_str()->check(CLI::Range(1U, 1000U));
  gw->add_option("--name", gateway.name, "this gateway's name in facts and log lines (default gw-<pid>)");
  gw->add_option("--jsonl", gateway.jsonl_out, "also append every published fact to this file");
  gw->add_option("--prefetch", gateway.prefetch, "unacknowledged messages per partition (room for a checkpoint's worth)")
      ->capture_default_str()->check(CLI::Range(1, 65535));
  gw->add_option("--prefer", gateway.prefer_index, "with --of: subscribe at once to the partitions k with k % OF == PREFER")
      ->check(CLI::Range(0U, 999U));
  gw->add_option("--of", gateway.prefer_count, "number of gateways sharing the partitions (0: subscribe to all at once)")
      ->capture_default_str()->check(CLI::Range(0U, 1000U));
  gw->add_option("--standby-after", gateway.standby_seconds, "seconds before subscribing to the other partitions")
      ->capture_default_str()->check(CLI::Range(0.0, 3600.0));
  gw->add_option("--status", gateway.status_seconds, "seconds between status lines")
      ->capture_default_str()->check(CLI::Range(0.1, 3600.0));
  gw->add_option("--metrics-port", gateway.metrics_port, "serve /metrics for Prometheus on this TCP port (0: no endpoint)")
      ->capture_default_str()->check(CLI::Range(0, 65535));
  gw->add_option("--metrics-address", gateway.metrics_address, "numeric IPv4 or IPv6 address the metrics endpoint listens on")
      ->capture_default_str();
  gw->add_option("--drain", gateway.drain_seconds, "seconds to finish in-flight work after SIGTERM")
      ->capture_default_str()->check(CLI::Range(0.0, 3600.0));
  gw->add_option("--give-up-after", gateway.give_up_seconds, "exit 3 after this many seconds without a broker (0: never)")
      ->capture_default_str()->check(CLI::Range(0.0, 1e9));
  gw->add_option("--queue", gateway.packets_queue, "partition queues are QUEUE.0 .. QUEUE.N-1")->capture_default_str();
  gw->add_option("--facts-exchange", gateway.facts_exchange, "exchange the facts go to")->capture_default_str();
  gw->add_option("--dead-exchange", gateway.dead_exchange, "exchange undecodable packets go to")->capture_default_str();
  gw->add_flag_callback("--no-state-check", [] { gateway.state_check = false; },
                        "for senders of the published bytes: do not require the state check of heartbeats and "
                        "differences");
  gw->add_option("--checkpoint-packets", gateway.checkpoint_packets,
                 "checkpoint (confirms, registry files saved, acknowledgements) every this many decoded packets")
      ->capture_default_str()->check(CLI::Range(1U, 1'000'000U));
  gw->add_option("--checkpoint-ms", gateway.checkpoint_ms, "and at the latest this many milliseconds after a decode")
      ->capture_default_str()->check(CLI::Range(1.0, 3'600'000.0));
  gw->add_flag("--fsync,!--no-fsync", gateway.fsync,
               "registry files reach the disk before the acknowledgements (default; --no-fsync: they may be lost "
               "with a power loss)");
  gw->add_flag("--facts-batch", gateway.facts_batch,
               "publish one message per input message holding its facts as JSON Lines");
  gw->add_option("--test-kill-after-checkpoint", gateway.test_kill_after_checkpoint,
                 "for fault tests only: SIGKILL this gateway after the K-th checkpoint's files are saved, before "
                 "its acknowledgements")
      ->check(CLI::Range(1U, 1'000'000'000U));
  gw->callback([&status] { status = run_gateway(gateway); });

  static PublishOptions publish;
  auto* pub = app.add_subcommand("publish", "send the demo fleet's packets to the broker, routed by device");
  pub->add_option("--brokers", publish.brokers, "broker addresses host:port, comma separated, tried in turn")->capture_default_str();
  pub->add_option("--exchange", publish.exchange, "consistent-hash exchange of the partitions")->capture_default_str();
  pub->add_option("--facts", publish.facts, "number of facts")->capture_default_str()->check(CLI::Range(1ULL, 100'000'000ULL));
  pub->add_option("--devices", publish.devices, "number of devices")->capture_default_str()->check(CLI::Range(1U, 100'000U));
  pub->add_flag("--moving", publish.moving, "a fleet whose devices move (a new geohash with every fact) and talk, as in demo --moving");
  pub->add_option("--seed", publish.seed, "seed of the simulation")->capture_default_str();
  pub->add_option("--rate", publish.rate, "facts per second (0: as fast as confirmed)")->capture_default_str()->check(CLI::Range(0.0, 1e9));
  pub->add_option("--window", publish.window, "publishes awaiting confirmation")->capture_default_str()->check(CLI::Range(1U, 100'000U));
  pub->add_option("--registry", publish.registry, "the sender's registry directory");
  pub->add_option("--expect-out", publish.expect_out, "write each fact's expected receiver answer as JSON Lines");
  pub->add_option("--first-device", publish.first_device,
                  "number the fleet's devices from this index (senders sharing a broker need disjoint devices)")
      ->capture_default_str()->check(CLI::Range(0U, 1'000'000U));
  pub->add_option("--keyframe-every", publish.keyframe_every,
                  "a device's every N-th packet is full, so a receiver that lost its state recovers (0: never)")
      ->capture_default_str()->check(CLI::Range(0ULL, 1'000'000'000ULL));
  pub->add_option("--batch", publish.batch,
                  "pack up to N packets of an edge sender into one message (0: one packet per message, routed by "
                  "device)")
      ->capture_default_str()->check(CLI::Range(0U, 100'000U));
  pub->add_option("--edges", publish.edges,
                  "with --batch: edge senders (a device belongs to edge aid % E; the edge's name is the routing key)")
      ->capture_default_str()->check(CLI::Range(1U, 100'000U));
  pub->add_option("--batch-ms", publish.batch_ms, "with --batch: send a batch that is not full after this many ms")
      ->capture_default_str()->check(CLI::Range(0.0, 60'000.0));
  pub->add_option("--packets-out", publish.packets_out,
                  "write every published packet as a standard Base64 line (for `tavkin decode`)");
  pub->add_flag("--mqtt", publish.mqtt,
                "publish over MQTT as devices do: QoS 1 on topic tavkin/packets/<device id>; --brokers are the "
                "brokers' MQTT listeners (not with --batch)");
  pub->add_flag("--quiet", publish.quiet, "no progress bar");
  pub->add_flag_callback("--no-state-check", [] { publish.state_check = false; },
                         "send the published bytes: heartbeats and differences without the state check");
  pub->callback([&status] { status = run_publish(publish); });

  static CollectOptions collect;
  auto* col = app.add_subcommand("collect", "drain a broker queue into JSON Lines");
  col->add_option("--brokers", collect.brokers, "broker addresses host:port, comma separated")->capture_default_str();
  col->add_option("--queue", collect.queue, "queue to drain")->capture_default_str();
  col->add_option("--out", collect.out, "output file (default standard output)");
  col->add_option("--idle", collect.idle_seconds, "stop after this many seconds without a message")->capture_default_str();
  col->add_option("--max", collect.max, "stop after this many messages (0: no limit)")->capture_default_str();
  col->add_flag("--base64", collect.base64, "write each body as Base64 (for binary messages such as dead packets)");
  col->add_flag("--depth", collect.depth, "print the number of messages ready in the queue and stop");
  col->callback([&status] { status = run_collect(collect); });
}

}  // namespace tavkin
