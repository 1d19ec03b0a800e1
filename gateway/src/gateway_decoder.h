// The gateway's decoding of one message: a single packet or a batch (packet_batch.h),
// received in the partition's context with the library's typed receive, each outcome made
// a publish: a fact to the facts exchange (or the message's facts as JSON Lines in one
// publish), a dead letter per undecodable packet with its reason, nothing for a packet the
// device files record as applied already. A batch that breaks decodes the packets before
// the break and dead-letters the rest as malformed. Single-threaded: the loop's.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "broker.h"
#include "gateway.h"
#include "gateway_partitions.h"
#include "gateway_counters.h"
#include "velmarinthos_tavkin.h"

namespace tavkin {

// One publish made of a decoded message, kept until confirmed so that it can be made again.
struct Publish {
  bool dead = false;  // to the dead exchange
  std::string routing_key;
  std::string body;
  Headers headers;
};

class MessageDecoder {
 public:
  // `jsonl`, when given, gets every fact as a line (flushed by the caller).
  MessageDecoder(const GatewayOptions& options, std::ostream* jsonl, GatewayCounters& counters)
      : options_(options), jsonl_(jsonl), counters_(counters), changed_(options.partitions) {}

  // Receives the message's packets in context `ctx` (registry files loaded, never written)
  // and appends its publishes to `out`. Answers the number of packets received.
  std::size_t decode(const Delivery& delivery, std::uint64_t ctx, std::vector<Publish>& out);

  // Packets per device in a message body, from the packet headers (devices repeat in
  // `out` as often as they have packets; unreadable headers are left out).
  static void devices_of(std::string_view body, std::vector<std::uint32_t>& out);

  // The devices of partition k whose files the next save writes (a packet of theirs was
  // applied since the last save), for the size of a checkpoint; the caller forgets them
  // once they are saved or dropped.
  [[nodiscard]] std::unordered_set<std::uint32_t>& changed_devices(std::uint32_t k) { return changed_[k]; }

 private:
  struct Call;
  static void on_received(void* user, const vm_received_v1* received);
  void receive_one(Call& call, const vm_received_v1& received, std::string_view packet);
  void dead_letter(Call& call, DeadReason reason, std::string_view packet, std::uint32_t device,
                   std::string_view error);

  const GatewayOptions& options_;
  std::ostream* jsonl_;
  GatewayCounters& counters_;
  std::string framed_;        // entries for vm_receive_packets_v1
  std::string facts_lines_;   // --facts-batch: the message's facts
  std::vector<std::string_view> packets_;
  std::vector<std::unordered_set<std::uint32_t>> changed_;  // per partition
};

}  // namespace tavkin
