// What the gateway counts, and the snapshot of it that the status line and the metrics
// endpoint show. The loop owns the counters (the decoder adds to them on its behalf); a
// snapshot is a copy the loop takes, so whoever reads one shares nothing with the loop.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "gateway_outcome.h"
#include "histogram.h"
#include "recent_devices.h"

namespace tavkin {

// Devices with counts of their own in the unknown-template and state-mismatch counts.
inline constexpr std::size_t kRecentDevices = 20;

inline constexpr double kSecondsBounds[] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                            0.25,  0.5,    1,     2.5,  5,     10};
inline constexpr double kFilesBounds[] = {0, 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000};
inline constexpr double kBytesBounds[] = {1024,   4096,    16384,    65536,   262144,
                                          1048576, 4194304, 16777216, 67108864};

struct LastCheckpoint {
  double seconds = 0;       // from the trigger to the last ack
  double save_seconds = 0;  // of which writing the files (with fsync unless turned off)
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
};

struct GatewayCounters {
  std::uint64_t messages_received = 0;       // deliveries: one packet or a batch each
  std::uint64_t messages_redelivered = 0;    // of which the broker marked redelivered
  std::uint64_t packets_decoded = 0;         // packets in decoded messages, whatever became of them
  std::uint64_t facts_decoded = 0;           // facts made of them (and published)
  std::uint64_t packets_already_applied = 0; // saved as applied before: nothing published
  std::map<DeadReason, std::uint64_t> packets_dead;  // dead letters
  RecentDevices unknown_templates{kRecentDevices};
  RecentDevices state_mismatches{kRecentDevices};
  // Acknowledged at checkpoints: everything decoded before them.
  std::uint64_t messages_acknowledged = 0;
  std::uint64_t packets_acknowledged = 0;
  std::uint64_t facts_acknowledged = 0;
  std::map<std::string, std::uint64_t> checkpoints;  // by trigger: "packets", "device window", "time", "stop"
  std::uint64_t checkpoints_failed = 0;              // a save or the --jsonl file failed: nothing acknowledged
  Histogram checkpoint_seconds{kSecondsBounds};
  Histogram save_seconds{kSecondsBounds};
  Histogram checkpoint_files{kFilesBounds};
  Histogram checkpoint_bytes{kBytesBounds};
  LastCheckpoint last_checkpoint;
  std::uint64_t sessions_started = 0;
};

struct PartitionStatus {
  bool active = false;              // received a delivery in this session
  bool held = false;                // this gateway holds its lock
  std::optional<std::uint32_t> lag; // messages ready in its queue, while held
};

struct GatewaySnapshot {
  GatewayCounters counters;
  std::vector<PartitionStatus> partitions;
};

}  // namespace tavkin
