// The gateway's status line; see gateway_status.h.
#include "gateway_status.h"

#include <fmt/format.h>

#include "json_text.h"

namespace tavkin {
namespace {

RawJson by_device(const RecentDevices& counts) {
  JsonObject object;
  for (const auto& entry : counts.devices()) object[std::to_string(entry.device)] = entry.count;
  object["other"] = counts.other();
  return {to_json(object)};
}

RawJson partition_list(const std::vector<PartitionStatus>& partitions, bool PartitionStatus::*which) {
  std::string text = "[";
  for (std::size_t k = 0; k < partitions.size(); ++k) {
    if (partitions[k].*which) text += fmt::format("{}{}", text.size() > 1 ? "," : "", k);
  }
  return {text + "]"};
}

}  // namespace

std::string status_json(const GatewaySnapshot& now, const GatewayCounters& last, double seconds,
                        std::string_view gateway, double unix_time) {
  const GatewayCounters& c = now.counters;
  if (seconds <= 0) seconds = 1;
  auto rate = [seconds](std::uint64_t now_count, std::uint64_t last_count) {
    return static_cast<double>(now_count - last_count) / seconds;
  };
  JsonObject rates{{"messages_received", rate(c.messages_received, last.messages_received)},
                   {"packets_decoded", rate(c.packets_decoded, last.packets_decoded)},
                   {"facts_decoded", rate(c.facts_decoded, last.facts_decoded)},
                   {"messages_acknowledged", rate(c.messages_acknowledged, last.messages_acknowledged)}};
  JsonObject dead;
  for (const DeadReason reason : {DeadReason::unknown_template, DeadReason::not_applicable, DeadReason::state_mismatch,
                                  DeadReason::crc_mismatch, DeadReason::malformed}) {
    const auto it = c.packets_dead.find(reason);
    dead[std::string(dead_reason_name(reason))] = it == c.packets_dead.end() ? 0 : it->second;
  }
  JsonObject triggers;
  std::uint64_t checkpoints = 0;
  for (const auto& [trigger, n] : c.checkpoints) {
    triggers[trigger] = n;
    checkpoints += n;
  }
  JsonObject lag;
  for (std::size_t k = 0; k < now.partitions.size(); ++k) {
    if (now.partitions[k].lag) lag[std::to_string(k)] = std::uint64_t{*now.partitions[k].lag};
  }
  const LastCheckpoint& l = c.last_checkpoint;
  JsonObject checkpoint_last{{"seconds", l.seconds}, {"save_seconds", l.save_seconds}, {"files", l.files},
                             {"bytes", l.bytes}};
  JsonObject line{{"gateway", std::string(gateway)},
                  {"time", unix_time},
                  {"interval_seconds", seconds},
                  {"rates", RawJson{to_json(rates)}},
                  {"messages_received", c.messages_received},
                  {"messages_redelivered", c.messages_redelivered},
                  {"packets_decoded", c.packets_decoded},
                  {"facts_decoded", c.facts_decoded},
                  {"packets_already_applied", c.packets_already_applied},
                  {"packets_dead", RawJson{to_json(dead)}},
                  {"unknown_templates", by_device(c.unknown_templates)},
                  {"state_mismatches", by_device(c.state_mismatches)},
                  {"messages_acknowledged", c.messages_acknowledged},
                  {"packets_acknowledged", c.packets_acknowledged},
                  {"facts_acknowledged", c.facts_acknowledged},
                  {"checkpoints", checkpoints},
                  {"checkpoints_by_trigger", RawJson{to_json(triggers)}},
                  {"checkpoints_failed", c.checkpoints_failed},
                  {"checkpoint_files", static_cast<std::uint64_t>(c.checkpoint_files.sum())},
                  {"checkpoint_bytes", static_cast<std::uint64_t>(c.checkpoint_bytes.sum())},
                  {"checkpoint_last", RawJson{to_json(checkpoint_last)}},
                  {"sessions_started", c.sessions_started},
                  {"partitions_active", partition_list(now.partitions, &PartitionStatus::active)},
                  {"partitions_held", partition_list(now.partitions, &PartitionStatus::held)},
                  {"partition_lag", RawJson{to_json(lag)}}};
  return to_json(line);
}

}  // namespace tavkin
