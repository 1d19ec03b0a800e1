// The gateway's status line; see gateway_status.h.
#include "gateway_status.h"

#include <fmt/format.h>

namespace tavkin {
namespace {

std::string by_device(const std::map<std::uint32_t, std::uint64_t>& counts) {
  std::string text;
  for (const auto& [device, n] : counts) text += fmt::format(" {}={}", device, n);
  return text.empty() ? std::string(" none") : text;
}

std::string by_trigger(const std::map<std::string, std::uint64_t>& counts) {
  std::string text;
  for (const auto& [trigger, n] : counts) text += fmt::format(" {} {}", trigger, n);
  return text.empty() ? std::string(" none") : text;
}

}  // namespace

std::string status_line(const GatewayCounters& now, const GatewayCounters& last, double seconds,
                        const std::vector<PartitionStatus>& partitions) {
  std::string active, lag;
  for (std::size_t k = 0; k < partitions.size(); ++k) {
    if (partitions[k].active) active += fmt::format("{}{}", active.empty() ? "" : ",", k);
    lag += partitions[k].lag ? fmt::format(" {}", *partitions[k].lag) : " ?";
  }
  auto dead = [&](DeadReason r) { return now.dead.contains(r) ? now.dead.at(r) : 0; };
  std::uint64_t dead_total = 0;
  for (const auto& [reason, n] : now.dead) dead_total += n;
  const double fsync_share = now.last_checkpoint_ms > 0 ? now.last_save_ms / now.last_checkpoint_ms : 0;
  if (seconds <= 0) seconds = 1;
  return fmt::format(
      "{:.0f} packets/s in, {:.0f} facts/s out; acked {}, redelivered {}, already-applied {}, dead {} "
      "unknown-template {} not-applicable {} state-mismatch {} crc {} malformed {}; checkpoints {} (last {:.1f} ms, "
      "save {:.0f}%, files {}, failed saves {}; triggers{}); active partitions [{}]; lag{}; unknown templates by device:{}; "
      "state mismatches by device:{}",
      static_cast<double>(now.packets - last.packets) / seconds, static_cast<double>(now.facts - last.facts) / seconds,
      now.acked, now.redelivered, now.already_applied, dead_total, dead(DeadReason::unknown_template),
      dead(DeadReason::not_applicable), dead(DeadReason::state_mismatch), dead(DeadReason::crc_mismatch),
      dead(DeadReason::malformed), now.checkpoints, now.last_checkpoint_ms, 100 * fsync_share, now.checkpoint_files,
      now.failed_saves, by_trigger(now.checkpoints_by_trigger), active, lag, by_device(now.unknown_by_device), by_device(now.mismatch_by_device));
}

}  // namespace tavkin
