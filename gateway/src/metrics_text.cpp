// The gateway's counters as Prometheus text; see metrics_text.h.
#include "metrics_text.h"

#include <fmt/format.h>

namespace tavkin {
namespace {

constexpr std::string_view kPrefix = "tavkin_gateway_";

using Labels = std::vector<std::pair<std::string_view, std::string>>;

class Exposition {
 public:
  void family(std::string_view name, std::string_view type, std::string_view help) {
    name_ = name;
    fmt::format_to(std::back_inserter(out_), "# HELP {}{} {}\n# TYPE {}{} {}\n", kPrefix, name, help, kPrefix, name,
                   type);
  }

  // A sample of the current family; `suffix` for a histogram's _bucket, _sum and _count.
  template <typename Value>
  void sample(const Value& value, const Labels& labels = {}, std::string_view suffix = "") {
    fmt::format_to(std::back_inserter(out_), "{}{}{}", kPrefix, name_, suffix);
    if (!labels.empty()) {
      out_ += '{';
      for (std::size_t i = 0; i < labels.size(); ++i) {
        fmt::format_to(std::back_inserter(out_), "{}{}=\"{}\"", i ? "," : "", labels[i].first,
                       escape_label_value(labels[i].second));
      }
      out_ += '}';
    }
    fmt::format_to(std::back_inserter(out_), " {}\n", value);
  }

  void counter(std::string_view name, std::string_view help, std::uint64_t value) {
    family(name, "counter", help);
    sample(value);
  }

  void gauge(std::string_view name, std::string_view help, std::uint64_t value) {
    family(name, "gauge", help);
    sample(value);
  }

  void by_device(std::string_view name, std::string_view help, const RecentDevices& counts) {
    family(name, "counter", help);
    for (const auto& entry : counts.devices()) sample(entry.count, {{"device", std::to_string(entry.device)}});
    sample(counts.other(), {{"device", "other"}});
  }

  void histogram(std::string_view name, std::string_view help, const Histogram& h) {
    family(name, "histogram", help);
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < h.bounds().size(); ++i) {
      cumulative += h.buckets()[i];
      sample(cumulative, {{"le", fmt::format("{}", h.bounds()[i])}}, "_bucket");
    }
    sample(h.count(), {{"le", "+Inf"}}, "_bucket");
    sample(h.sum(), {}, "_sum");
    sample(h.count(), {}, "_count");
  }

  [[nodiscard]] std::string take() { return std::move(out_); }

 private:
  std::string out_;
  std::string_view name_;
};

}  // namespace

std::string escape_label_value(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      default: out += c;
    }
  }
  return out;
}

std::string metrics_text(const GatewaySnapshot& snapshot) {
  const GatewayCounters& c = snapshot.counters;
  Exposition e;
  e.counter("messages_received_total", "Messages the broker delivered (one packet or a batch of packets each).",
            c.messages_received);
  e.counter("messages_redelivered_total", "Delivered messages the broker marked redelivered.", c.messages_redelivered);
  e.counter("packets_decoded_total", "Packets in decoded messages, whatever their outcome.", c.packets_decoded);
  e.counter("facts_decoded_total", "Facts decoded from packets and published.", c.facts_decoded);
  e.counter("packets_already_applied_total",
            "Packets the registry files record as applied before (saved at a checkpoint whose acknowledgements were "
            "lost): nothing published.",
            c.packets_already_applied);
  e.family("packets_dead_total", "counter", "Packets dead-lettered, by reason.");
  for (const DeadReason reason : {DeadReason::unknown_template, DeadReason::not_applicable, DeadReason::state_mismatch,
                                  DeadReason::crc_mismatch, DeadReason::malformed}) {
    const auto it = c.packets_dead.find(reason);
    e.sample(it == c.packets_dead.end() ? 0 : it->second, {{"reason", std::string(dead_reason_name(reason))}});
  }
  e.by_device("unknown_templates_total",
              fmt::format("Packets dead-lettered for an unknown template (the device must send a full packet), for "
                          "the {} devices counted most recently; the others under device=\"other\".",
                          c.unknown_templates.capacity()),
              c.unknown_templates);
  e.by_device("state_mismatches_total",
              fmt::format("Packets dead-lettered for a state check that does not hold (the device must send a full "
                          "packet), for the {} devices counted most recently; the others under device=\"other\".",
                          c.state_mismatches.capacity()),
              c.state_mismatches);
  e.counter("messages_acknowledged_total", "Messages acknowledged at checkpoints.", c.messages_acknowledged);
  e.counter("packets_acknowledged_total", "Packets in the messages acknowledged at checkpoints.",
            c.packets_acknowledged);
  e.counter("facts_acknowledged_total", "Facts of the messages acknowledged at checkpoints (each confirmed first).",
            c.facts_acknowledged);

  std::uint64_t held = 0;
  for (const PartitionStatus& p : snapshot.partitions) held += p.held ? 1 : 0;
  e.gauge("partitions_held", "Partitions whose lock this gateway holds (it decodes their packets).", held);
  e.family("partition_lag_messages", "gauge",
           "Messages ready in the queue of each partition this gateway holds, as last asked of the broker.");
  for (std::size_t k = 0; k < snapshot.partitions.size(); ++k) {
    if (snapshot.partitions[k].lag) e.sample(*snapshot.partitions[k].lag, {{"partition", std::to_string(k)}});
  }

  e.family("checkpoints_total", "counter", "Checkpoints that acknowledged, by what triggered them.");
  for (const auto& [trigger, n] : c.checkpoints) e.sample(n, {{"trigger", trigger}});
  e.counter("checkpoints_failed_total",
            "Checkpoints whose registry files (or --jsonl file) could not be written: nothing acknowledged.",
            c.checkpoints_failed);
  e.histogram("checkpoint_duration_seconds", "Checkpoints from their trigger to the last acknowledgement.",
              c.checkpoint_seconds);
  e.histogram("checkpoint_save_seconds",
              "Writing a checkpoint's registry files, with fsync unless --no-fsync (partitions in parallel).",
              c.save_seconds);
  e.histogram("checkpoint_files", "Registry files a checkpoint wrote.", c.checkpoint_files);
  e.histogram("checkpoint_bytes", "Bytes of the registry files a checkpoint wrote.", c.checkpoint_bytes);
  e.counter("sessions_started_total", "Broker sessions started (the first connection and every reconnection).",
            c.sessions_started);
  return e.take();
}

}  // namespace tavkin
