// What the gateway counts, and the status line it writes to standard error from them.
// Single-threaded: the loop's.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway_outcome.h"

namespace tavkin {

struct GatewayCounters {
  std::uint64_t delivered = 0;        // messages
  std::uint64_t packets = 0;          // packets in them
  std::uint64_t facts = 0;
  std::uint64_t acked = 0;            // messages acknowledged
  std::uint64_t redelivered = 0;      // messages the broker marked redelivered
  std::uint64_t already_applied = 0;  // packets saved as applied before: nothing published
  std::map<DeadReason, std::uint64_t> dead;
  std::map<std::uint32_t, std::uint64_t> unknown_by_device;
  std::map<std::uint32_t, std::uint64_t> mismatch_by_device;
  std::uint64_t checkpoints = 0;
  std::uint64_t checkpoint_files = 0;  // registry files written by them
  std::uint64_t failed_saves = 0;
  std::map<std::string, std::uint64_t> checkpoints_by_trigger;  // "packets", "device window", "time", "stop"
  double last_checkpoint_ms = 0;       // from the trigger to the last ack
  double last_save_ms = 0;             // of which writing the files (with fsync unless turned off)
};

struct PartitionStatus {
  bool active = false;
  std::optional<std::uint32_t> lag;
};

// The status line (without the gateway's log prefix). Rates over `seconds` since `last`.
[[nodiscard]] std::string status_line(const GatewayCounters& now, const GatewayCounters& last, double seconds,
                                      const std::vector<PartitionStatus>& partitions);

}  // namespace tavkin
