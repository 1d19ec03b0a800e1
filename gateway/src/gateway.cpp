// The gateway's run loop: connecting (brokers in turn, with backoff, giving up when told),
// subscribing now or after the standby time, handing deliveries to their partitions,
// decoding while no checkpoint runs, running checkpoints, and stopping (drain). One thread,
// but for the savers of a checkpoint (save_contexts) and the metrics endpoint's, which only
// reads the snapshots the loop publishes (metrics_endpoint.h).
//
// Many packets of a device may be decoded and published before any is acknowledged: the
// library context holds their effects in memory until a checkpoint saves them, after their
// facts are confirmed, and acknowledges them. A session that ends before its checkpoint
// drops its contexts, so the next decode of those packets (here or at the gateway that
// takes the partition over) starts from the files of the last checkpoint, where packets
// saved as applied answer "already applied" and publish nothing a second time.
#include "gateway.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include <fmt/format.h>

#include "gateway_checkpoints.h"
#include "gateway_decoder.h"
#include "gateway_partitions.h"
#include "gateway_status.h"
#include "metrics_endpoint.h"
#include "registry_file.h"
#include "velmarinthos_tavkin.h"

namespace tavkin {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::atomic<bool> g_stop_requested{false};

extern "C" void request_stop(int) { g_stop_requested.store(true); }

void install_stop_handlers() {
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

double unix_seconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Clock::duration seconds_of(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// How stale a scrape may be: the loop publishes a snapshot at most this often.
constexpr auto kMetricsEvery = milliseconds(250);
// Partition lag is asked of the broker (a passive queue declare per held partition) this
// often at most, and at least as often as the status line.
constexpr auto kLagEvery = std::chrono::seconds(5);

CheckpointPolicy policy_of(const GatewayOptions& options) {
  CheckpointPolicy policy;
  policy.packets = options.checkpoint_packets;
  policy.after = std::chrono::microseconds(static_cast<std::int64_t>(options.checkpoint_ms * 1000));
  policy.per_device = VM_RECEIVE_ONCE_WINDOW / 2;
  return policy;
}

class Gateway {
 public:
  Gateway(const GatewayOptions& options, std::vector<BrokerAddress> brokers, const BrokerSessionFactory& connect,
          const std::atomic<bool>& stop, std::ofstream* jsonl, MetricsEndpoint* metrics)
      : options_(options),
        brokers_(std::move(brokers)),
        connect_(connect),
        stop_(stop),
        jsonl_(jsonl),
        metrics_(metrics),
        partitions_(options, [this](const std::string& line) { log("{}", line); }),
        decoder_(options, jsonl, counters_),
        tracker_(options.partitions, policy_of(options)) {}

  int run() {
    auto disconnected_since = Clock::now();
    auto backoff = milliseconds(250);
    std::size_t next_broker = 0;
    last_status_ = Clock::now();
    publish_metrics();
    while (true) {
      if (!session_) {
        if (stop_) return kGatewayStopped;  // nothing is decoded without a session
        if (connect(brokers_[next_broker++ % brokers_.size()])) {
          backoff = milliseconds(250);
        } else {
          if (options_.give_up_seconds > 0 && Clock::now() - disconnected_since > seconds_of(options_.give_up_seconds)) {
            log("no broker reachable for {:.0f} s; giving up", options_.give_up_seconds);
            return kGatewayNoBroker;
          }
          sleep_unless_stopped(backoff);
          backoff = std::min(backoff * 2, milliseconds(8000));
          report_if_due();  // without a broker too, holding no partition then
          continue;
        }
      }
      if (stop_ && !draining_) begin_drain();
      if (draining_) {
        if (const auto exit = drain_step()) return *exit;
      }
      if (!standby_.empty() && !draining_ && Clock::now() >= standby_at_) subscribe_standby();
      if (!checkpointing_) {
        if (const char* trigger = tracker_.due_for(Clock::now())) begin_checkpoint(trigger);
      }
      if (checkpointing_) finish_checkpoint_if_confirmed();
      if (session_ && !checkpointing_ && !draining_) pump_all();
      if (session_ && !session_->broken()) handle(session_->next(wait_time()));
      if (session_ && session_->broken()) {
        log("connection to {}:{} lost: {}", address_.host, address_.port, session_->last_error());
        const bool work_left = tracker_.anything_decoded();
        end_session();
        disconnected_since = Clock::now();
        if (draining_) return work_left ? kGatewayWorkLeft : kGatewayStopped;
        continue;
      }
      report_if_due();
    }
  }

 private:
  template <typename... Args>
  void log(fmt::format_string<Args...> format, Args&&... args) {
    fmt::print(stderr, "tavkin gateway {}: {}\n", options_.name, fmt::format(format, std::forward<Args>(args)...));
    std::fflush(stderr);
  }

  void sleep_unless_stopped(milliseconds total) {
    for (auto slept = milliseconds(0); slept < total && !stop_; slept += milliseconds(50)) {
      std::this_thread::sleep_for(milliseconds(50));
    }
  }

  // Long enough not to spin, short enough for the checkpoint timer.
  milliseconds wait_time() const {
    auto wait = milliseconds(100);
    if (const auto deadline = tracker_.deadline(); deadline && !checkpointing_) {
      const auto left = std::chrono::ceil<milliseconds>(*deadline - Clock::now());
      wait = std::clamp(left, milliseconds(0), wait);
    }
    return wait;
  }

  // --- sessions

  bool connect(const BrokerAddress& address) {
    std::string error;
    auto session = connect_(address, error);
    if (!session) {
      log("{}", error);
      return false;
    }
    bool ok = session->open_channel(kPublishChannel) && session->confirm_mode(kPublishChannel) &&
              session->open_channel(kAdminChannel);
    standby_.clear();
    for (std::uint32_t k = 0; ok && k < options_.partitions; ++k) {
      const std::uint16_t channel = Partitions::channel(k);
      ok = session->open_channel(channel) && session->prefetch(channel, options_.prefetch);
      if (options_.prefer_count == 0 || k % options_.prefer_count == options_.prefer_index) {
        ok = ok && session->consume(channel, partitions_.queue(k), consumer_tag(k));
      } else {
        standby_.push_back(k);
      }
    }
    standby_at_ = Clock::now() + seconds_of(options_.standby_seconds);
    if (!ok) {
      log("cannot subscribe at {}:{}: {}", address.host, address.port, session->last_error());
      return false;
    }
    session_ = std::move(session);
    address_ = address;
    ++session_number_;
    ++counters_.sessions_started;
    partitions_.start_session(session_number_);
    log("connected to {}:{}; subscribed to {} partitions, {} more in {} s (session {})", address.host, address.port,
        options_.partitions - standby_.size(), standby_.size(), options_.standby_seconds, session_number_);
    return true;
  }

  // The partitions this gateway does not prefer, subscribed once the preferred gateways
  // had time to be first.
  void subscribe_standby() {
    for (const std::uint32_t k : standby_) {
      if (!session_->consume(Partitions::channel(k), partitions_.queue(k), consumer_tag(k))) return;
    }
    standby_.clear();
  }

  // After a lost session the broker gives every unacknowledged delivery to the next
  // consumer; what was decoded since the last checkpoint is dropped with the contexts
  // before the locks go.
  void end_session() {
    if (tracker_.anything_decoded()) log("dropped what was decoded since the last checkpoint; the broker delivers it again");
    partitions_.end_session();
    tracker_.clear();
    checkpointing_ = false;
    undurable_ = Undurable{};
    for (std::uint32_t k = 0; k < options_.partitions; ++k) decoder_.changed_devices(k).clear();
    session_.reset();
  }

  std::string consumer_tag(std::uint32_t k) const { return fmt::format("{}/p{}", options_.name, k); }

  // --- events

  void handle(BrokerEvent event) {
    switch (event.kind) {
      case BrokerEvent::Kind::delivery: return on_delivery(std::move(event));
      case BrokerEvent::Kind::confirm: return tracker_.confirmed(event.tag, event.multiple);
      case BrokerEvent::Kind::reject:
        // The broker could not take a publish: publish it again (its packet stays unacknowledged).
        for (Publish& again : tracker_.rejected(event.tag, event.multiple)) publish(std::move(again));
        return;
      case BrokerEvent::Kind::cancelled:
        // The broker cancels a consumer when its queue goes away or moves; start over. While
        // stopping the checkpoint still finishes on the open channels.
        if (!draining_) {
          log("the broker cancelled consumer {}; reconnecting", event.consumer_tag);
          end_session();
        }
        return;
      case BrokerEvent::Kind::timeout:
      case BrokerEvent::Kind::closed: return;
    }
  }

  void on_delivery(BrokerEvent event) {
    const auto k = partitions_.of_channel(event.channel);
    if (!k) return;
    ++counters_.messages_received;
    if (event.redelivered) ++counters_.messages_redelivered;
    if (partitions_.note_delivery(*k)) log("partition {} active at {:.3f} (session {})", *k, unix_seconds(), session_number_);
    partitions_.waiting(*k).push_back(
        {*k, event.tag, event.redelivered, std::move(event.routing_key), std::move(event.body)});
    if (!checkpointing_ && !draining_) pump(*k);
  }

  // --- decoding

  void pump_all() {
    for (std::uint32_t k = 0; k < options_.partitions && session_ && !checkpointing_; ++k) pump(k);
  }

  // Decodes the partition's waiting deliveries in order while it holds its lock and no
  // checkpoint is needed first.
  void pump(std::uint32_t k) {
    auto& waiting = partitions_.waiting(k);
    if (waiting.empty() || !partitions_.hold(k)) return;
    while (!waiting.empty() && !checkpointing_ && session_ && !session_->broken()) {
      const Delivery& d = waiting.front();
      MessageDecoder::devices_of(d.body, devices_);
      if (!tracker_.fits_window(devices_)) {
        begin_checkpoint("device window");
        return;
      }
      publishes_.clear();
      const std::uint64_t facts_before = counters_.facts_decoded;
      const std::size_t packets = decoder_.decode(d, partitions_.context(k), publishes_);
      tracker_.decoded(k, d.tag, devices_, packets, Clock::now());
      ++undurable_.messages;
      undurable_.packets += packets;
      undurable_.facts += counters_.facts_decoded - facts_before;
      waiting.pop_front();
      for (Publish& p : publishes_) publish(std::move(p));
      if (const char* trigger = tracker_.due_for(Clock::now())) begin_checkpoint(trigger);
    }
  }

  void publish(Publish p) {
    const std::string& exchange = p.dead ? options_.dead_exchange : options_.facts_exchange;
    // A failed publish breaks the session, which drops everything it owes.
    if (!session_->publish(kPublishChannel, exchange, p.routing_key, p.body, p.headers)) return;
    tracker_.published(std::move(p));
  }

  // --- checkpoints

  void begin_checkpoint(const char* trigger) {
    if (checkpointing_ || !tracker_.anything_decoded() || Clock::now() < retry_at_) return;
    checkpointing_ = true;
    checkpoint_trigger_ = trigger;
    checkpoint_started_ = Clock::now();
  }

  // What a partition's save wrote.
  struct Saved {
    std::int32_t files = 0;  // -1: not saved
    std::uint64_t bytes = 0;
  };

  // Once every publish is confirmed: save, flush, acknowledge.
  void finish_checkpoint_if_confirmed() {
    if (!tracker_.all_confirmed() || !session_) return;
    const auto acks = tracker_.acks_due();
    const auto save_started = Clock::now();
    const std::vector<Saved> written = save_contexts(acks);
    bool saved = true;
    std::uint64_t files = 0, bytes = 0;
    for (std::size_t i = 0; i < acks.size(); ++i) {
      const std::uint32_t k = acks[i].first;
      if (written[i].files < 0) {
        saved = false;
        log("partition {}: registry files could not be saved; its packets stay unacknowledged until a save succeeds", k);
      } else {
        files += static_cast<std::uint64_t>(written[i].files);
        bytes += written[i].bytes;
      }
    }
    const auto save_done = Clock::now();
    if (saved && jsonl_ != nullptr && !jsonl_->flush()) {
      saved = false;
      log("cannot write {}; nothing acknowledged", options_.jsonl_out);
    }
    checkpointing_ = false;
    if (!saved) {
      ++counters_.checkpoints_failed;
      if (++saves_failed_in_a_row_ >= kSaveAttempts) {
        // A context can lose its changes in the library (dropped from its cache), after which
        // its saves keep failing: start over from the files, the broker delivering again.
        log("{} checkpoints in a row could not save; starting a new session from the files", kSaveAttempts);
        saves_failed_in_a_row_ = 0;
        if (draining_) return;  // the drain deadline ends it
        end_session();
        return;
      }
      tracker_.save_failed(save_done);
      retry_at_ = save_done + std::chrono::duration_cast<Clock::duration>(policy_of(options_).after);
      return;
    }
    saves_failed_in_a_row_ = 0;
    ++checkpoints_saved_;
    if (options_.test_kill_after_checkpoint != 0 && checkpoints_saved_ == options_.test_kill_after_checkpoint) {
      log("killing myself after checkpoint {}, before its acknowledgements (--test-kill-after-checkpoint)",
          checkpoints_saved_);
      ::raise(SIGKILL);
    }
    for (const auto& [k, tag] : acks) {
      if (!session_->ack(Partitions::channel(k), tag, true)) return;  // the session is broken: it ends
    }
    counters_.messages_acknowledged += undurable_.messages;
    counters_.packets_acknowledged += undurable_.packets;
    counters_.facts_acknowledged += undurable_.facts;
    undurable_ = Undurable{};
    tracker_.checkpointed();
    const LastCheckpoint last{seconds_between(checkpoint_started_, Clock::now()), seconds_between(save_started, save_done),
                              files, bytes};
    ++counters_.checkpoints[checkpoint_trigger_];
    counters_.checkpoint_seconds.observe(last.seconds);
    counters_.save_seconds.observe(last.save_seconds);
    counters_.checkpoint_files.observe(static_cast<double>(last.files));
    counters_.checkpoint_bytes.observe(static_cast<double>(last.bytes));
    counters_.last_checkpoint = last;
  }

  // Each partition's files written by a thread of its own: most of a save is waiting for
  // the disk, and the library saves different contexts in parallel. Each thread touches
  // only its partition's context and changed devices, and all are joined before this
  // returns.
  std::vector<Saved> save_contexts(const std::vector<std::pair<std::uint32_t, std::uint64_t>>& partitions) {
    std::vector<Saved> written(partitions.size());
    std::vector<std::thread> savers;
    for (std::size_t i = 1; i < partitions.size(); ++i) {
      savers.emplace_back([&, i] { written[i] = save_partition(partitions[i].first); });
    }
    if (!partitions.empty()) written[0] = save_partition(partitions[0].first);
    for (std::thread& t : savers) t.join();
    return written;
  }

  // Saves partition k's context; the size of what it wrote is that of its changed devices'
  // files (the library writes each whole), which it then forgets.
  Saved save_partition(std::uint32_t k) {
    const std::uint32_t flags = options_.fsync ? VM_SAVE_FSYNC : 0u;
    const auto* root = reinterpret_cast<const std::uint8_t*>(options_.registry_root.data());
    Saved saved{vm_context_save_v1(partitions_.context(k), root, options_.registry_root.size(), flags), 0};
    if (saved.files < 0) return saved;
    auto& changed = decoder_.changed_devices(k);
    for (const std::uint32_t device : changed) {
      std::error_code ec;
      const auto size = std::filesystem::file_size(device_file_path(options_.registry_root, device), ec);
      if (!ec) saved.bytes += size;
    }
    changed.clear();
    return saved;
  }

  // --- stopping

  // Stopping decodes nothing more and checkpoints what was decoded; closing the session
  // then hands every other received delivery back. The consumers are not cancelled first:
  // the broker would make another gateway active for the partition at once, while this
  // one still saves its files.
  void begin_drain() {
    draining_ = true;
    drain_deadline_ = Clock::now() + seconds_of(options_.drain_seconds);
    log("stopping: decoding nothing more; checkpointing {} decoded messages ({} publishes unconfirmed)",
        undurable_.messages, tracker_.unconfirmed());
  }

  // The exit status once stopping is over; nullopt while it goes on.
  std::optional<int> drain_step() {
    if (!tracker_.anything_decoded()) {
      log("stopped: every decoded packet acknowledged; {} received and not decoded go back to the broker",
          partitions_.waiting_total());
      print_status();
      std::vector<std::uint16_t> channels{kPublishChannel, kAdminChannel};
      for (std::uint32_t k = 0; k < options_.partitions; ++k) channels.push_back(Partitions::channel(k));
      if (!session_->close_gracefully(channels)) log("closing: {}", session_->last_error());
      end_session();
      return kGatewayStopped;
    }
    if (Clock::now() > drain_deadline_) {
      log("stopped with {} decoded messages unacknowledged; the broker delivers them again", undurable_.messages);
      print_status();
      end_session();
      return kGatewayWorkLeft;
    }
    begin_checkpoint("stop");
    return std::nullopt;
  }

  // --- status and metrics

  void report_if_due() {
    const auto now = Clock::now();
    if (now - lag_refreshed_ >= std::min<Clock::duration>(seconds_of(options_.status_seconds), kLagEvery)) refresh_lag();
    if (now - last_status_ >= seconds_of(options_.status_seconds)) print_status();
    if (metrics_ != nullptr && now - metrics_published_ >= kMetricsEvery) publish_metrics();
  }

  // Messages ready in each held partition's queue (a passive declare each).
  void refresh_lag() {
    lag_refreshed_ = Clock::now();
    auto& status = partitions_.status();
    for (std::uint32_t k = 0; k < options_.partitions; ++k) {
      status[k].lag.reset();
      if (partitions_.held(k) && session_ && !session_->broken()) {
        status[k].lag = session_->queue_depth(kAdminChannel, partitions_.queue(k));
      }
    }
  }

  GatewaySnapshot snapshot() const {
    GatewaySnapshot s{counters_, partitions_.status()};
    for (std::uint32_t k = 0; k < options_.partitions; ++k) s.partitions[k].held = partitions_.held(k);
    return s;
  }

  // One JSON object on a line of its own, without the log prefix, so that tools read it whole.
  void print_status() {
    const auto now = Clock::now();
    const double seconds = seconds_between(last_status_, now);
    last_status_ = now;
    fmt::print(stderr, "{}\n", status_json(snapshot(), last_, seconds, options_.name, unix_seconds()));
    std::fflush(stderr);
    last_ = counters_;
  }

  void publish_metrics() {
    if (metrics_ == nullptr) return;
    metrics_published_ = Clock::now();
    metrics_->publish(snapshot());
  }

  const GatewayOptions& options_;
  std::vector<BrokerAddress> brokers_;
  const BrokerSessionFactory& connect_;
  const std::atomic<bool>& stop_;
  std::ofstream* jsonl_;
  MetricsEndpoint* metrics_;
  std::unique_ptr<BrokerSession> session_;
  BrokerAddress address_;
  std::uint64_t session_number_ = 0;
  GatewayCounters counters_, last_;
  Partitions partitions_;
  MessageDecoder decoder_;
  CheckpointTracker tracker_;
  std::vector<std::uint32_t> devices_;  // scratch: the devices of the message being decoded
  std::vector<Publish> publishes_;      // scratch: its publishes
  // Decoded since the last checkpoint, acknowledged at the next.
  struct Undurable {
    std::uint64_t messages = 0, packets = 0, facts = 0;
  } undurable_;
  std::uint64_t checkpoints_saved_ = 0;  // in this process, for --test-kill-after-checkpoint
  bool checkpointing_ = false;
  Clock::time_point checkpoint_started_;
  const char* checkpoint_trigger_ = "";
  static constexpr int kSaveAttempts = 3;
  int saves_failed_in_a_row_ = 0;
  Clock::time_point retry_at_;
  std::vector<std::uint32_t> standby_;  // not yet subscribed
  Clock::time_point standby_at_;
  Clock::time_point last_status_;
  Clock::time_point lag_refreshed_;
  Clock::time_point metrics_published_;
  bool draining_ = false;
  Clock::time_point drain_deadline_;
};

}  // namespace

int run_gateway(const GatewayOptions& input, const BrokerSessionFactory& connect, const std::atomic<bool>& stop) {
  GatewayOptions options = input;
  if (options.name.empty()) options.name = fmt::format("gw-{}", ::getpid());
  std::string error;
  const auto brokers = parse_brokers(options.brokers, error);
  if (!brokers) {
    fmt::print(stderr, "tavkin gateway: {}\n", error);
    return kGatewayUsage;
  }
  if (options.prefer_count > 0 && options.prefer_index >= options.prefer_count) {
    fmt::print(stderr, "tavkin gateway: --prefer must be less than --of\n");
    return kGatewayUsage;
  }
  std::error_code ec;
  std::filesystem::create_directories(options.registry_root, ec);
  if (!std::filesystem::is_directory(options.registry_root)) {
    fmt::print(stderr, "tavkin gateway: the registry root {} is not a directory and cannot be made one\n",
               options.registry_root);
    return kGatewayFailed;
  }
  std::ofstream jsonl;
  if (!options.jsonl_out.empty()) {
    jsonl.open(options.jsonl_out, std::ios::binary | std::ios::app);
    if (!jsonl) {
      fmt::print(stderr, "tavkin gateway: cannot append to {}\n", options.jsonl_out);
      return kGatewayFailed;
    }
  }
  std::unique_ptr<MetricsEndpoint> metrics;
  if (options.metrics_port != 0) {
    metrics = MetricsEndpoint::start(options.metrics_address, options.metrics_port, error);
    if (!metrics) {
      fmt::print(stderr, "tavkin gateway: {}\n", error);
      return kGatewayFailed;
    }
  }
  Gateway gateway(options, *brokers, connect, stop, jsonl.is_open() ? &jsonl : nullptr, metrics.get());
  return gateway.run();
}

int run_gateway(const GatewayOptions& options) {
  install_stop_handlers();
  const BrokerSessionFactory connect = [](const BrokerAddress& address,
                                          std::string& error) -> std::unique_ptr<BrokerSession> {
    return BrokerConnection::open(address, error);
  };
  return run_gateway(options, connect, g_stop_requested);
}

}  // namespace tavkin
