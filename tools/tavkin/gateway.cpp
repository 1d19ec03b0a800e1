// The gateway's event loop; see gateway.h.
//
// Order per device is what keeps redelivery safe: a device has at most one packet that is
// decoded but not yet acknowledged. Decoding a packet again on the state it left behind
// gives the same fact and the same state, so a gateway that takes a partition over can
// decode that packet once more from the shared files. Decoding an older packet on a newer
// state would not, so a device's next packet waits until the previous one is acknowledged.
// Other devices of the partition go on meanwhile. How a hand-over keeps the files right
// although the last gateway may not yet know it lost the partition: partition_fence.h.
#include "gateway.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <thread>

#include <fmt/format.h>

#include "broker.h"
#include "codec.h"
#include "device_queue.h"
#include "gateway_outcome.h"
#include "library.h"
#include "packet_view.h"
#include "partition_fence.h"

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

constexpr std::uint16_t kPublishChannel = 1;
constexpr std::uint16_t kAdminChannel = 2;
constexpr std::uint16_t kFirstPartitionChannel = 10;
// Each connection decodes in contexts of its own, numbered from here; a gateway that
// reconnects must not reuse templates that another gateway may have moved on meanwhile.
constexpr std::uint64_t kContextBase = std::uint64_t{1} << 40;

struct Delivery {
  std::uint32_t partition = 0;
  std::uint64_t tag = 0;
  bool redelivered = false;
  std::string routing_key;
  std::string body;
};

// A publish waiting for its confirm, with what it takes to publish it again.
struct InFlight {
  Delivery delivery;
  std::uint32_t device = 0;
  bool dead = false;
  std::string message;
  Headers headers;
};

struct PartitionState {
  bool active = false;  // a delivery came on this connection's consumer
  PartitionLock lock;   // held while this gateway decodes the partition's packets
  std::deque<Delivery> waiting_for_lock;
  std::optional<Clock::time_point> waiting_since;
  std::uint64_t delivered = 0;
  std::optional<std::uint32_t> lag;
};

struct Counters {
  std::uint64_t delivered = 0, facts = 0, acked = 0, redelivered = 0;
  std::map<DeadReason, std::uint64_t> dead;
};

class Gateway {
 public:
  Gateway(const GatewayOptions& options, std::vector<BrokerAddress> brokers, std::ofstream* jsonl)
      : options_(options),
        brokers_(std::move(brokers)),
        jsonl_(jsonl),
        partitions_(options.partitions),
        snapshots_(options.registry_root) {}

  int run() {
    auto disconnected_since = Clock::now();
    auto backoff = milliseconds(250);
    std::size_t next_broker = 0;
    last_status_ = Clock::now();
    while (true) {
      if (!conn_) {
        if (g_stop_requested) return kGatewayStopped;  // nothing is in flight without a connection
        if (connect(brokers_[next_broker++ % brokers_.size()])) {
          backoff = milliseconds(250);
        } else {
          if (options_.give_up_seconds > 0 &&
              Clock::now() - disconnected_since > std::chrono::duration<double>(options_.give_up_seconds)) {
            log("no broker reachable for {:.0f} s; giving up", options_.give_up_seconds);
            return kGatewayNoBroker;
          }
          sleep_unless_stopped(backoff);
          backoff = std::min(backoff * 2, milliseconds(8000));
          continue;
        }
      }
      if (g_stop_requested && !draining_) begin_drain();
      if (draining_) {
        if (in_flight_.empty()) {
          log("stopped: every decoded packet acknowledged; {} received and not decoded go back to the broker",
              order_.waiting() + held_back_ + waiting_for_locks());
          print_status();
          conn_.reset();
          return kGatewayStopped;
        }
        if (Clock::now() > drain_deadline_) {
          log("stopped with {} decoded packets unacknowledged; the broker delivers them again", in_flight_.size());
          drop_session();
          return kGatewayWorkLeft;
        }
      }
      if (!standby_.empty() && !draining_ && Clock::now() >= standby_at_) subscribe_standby();
      if (!draining_) retry_partition_locks();
      if (!conn_->broken()) handle(conn_->next(milliseconds(100)));
      if (conn_ && conn_->broken()) {
        log("connection to {}:{} lost: {}", conn_->address().host, conn_->address().port, conn_->last_error());
        const bool work_left = !in_flight_.empty();
        drop_session();
        disconnected_since = Clock::now();
        if (draining_) return work_left ? kGatewayWorkLeft : kGatewayStopped;
        continue;
      }
      if (Clock::now() - last_status_ >= std::chrono::duration<double>(options_.status_seconds)) print_status();
    }
  }

 private:
  template <typename... Args>
  void log(fmt::format_string<Args...> format, Args&&... args) {
    fmt::print(stderr, "tavkin gateway {}: {}\n", options_.name, fmt::format(format, std::forward<Args>(args)...));
    std::fflush(stderr);
  }

  void sleep_unless_stopped(milliseconds total) {
    for (auto slept = milliseconds(0); slept < total && !g_stop_requested; slept += milliseconds(50)) {
      std::this_thread::sleep_for(milliseconds(50));
    }
  }

  bool connect(const BrokerAddress& address) {
    std::string error;
    auto conn = BrokerConnection::open(address, error);
    if (!conn) {
      log("{}", error);
      return false;
    }
    bool ok = conn->open_channel(kPublishChannel) && conn->confirm_mode(kPublishChannel) &&
              conn->open_channel(kAdminChannel);
    standby_.clear();
    for (std::uint32_t k = 0; ok && k < options_.partitions; ++k) {
      const auto channel = static_cast<std::uint16_t>(kFirstPartitionChannel + k);
      ok = conn->open_channel(channel) && conn->prefetch(channel, options_.prefetch);
      if (options_.prefer_count == 0 || k % options_.prefer_count == options_.prefer_index) {
        ok = ok && conn->consume(channel, partition_queue(k), consumer_tag(k));
      } else {
        standby_.push_back(k);
      }
    }
    standby_at_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(options_.standby_seconds));
    if (!ok) {
      log("cannot subscribe at {}:{}: {}", address.host, address.port, conn->last_error());
      return false;
    }
    conn_ = std::move(conn);
    ++session_;
    next_publish_ = 1;
    log("connected to {}:{}; subscribed to {} partitions, {} more in {} s (session {})", address.host, address.port,
        options_.partitions - standby_.size(), standby_.size(), options_.standby_seconds, session_);
    return true;
  }

  // The partitions this gateway does not prefer, subscribed once the preferred gateways
  // had time to be first.
  void subscribe_standby() {
    for (const std::uint32_t k : standby_) {
      if (!conn_->consume(static_cast<std::uint16_t>(kFirstPartitionChannel + k), partition_queue(k), consumer_tag(k))) {
        return;
      }
    }
    standby_.clear();
  }

  // After a lost connection the broker gives every unacknowledged packet to the next
  // consumer, so nothing of this session is kept, its contexts included. The files of
  // devices with an unacknowledged decode are put back before the partitions' locks go,
  // so the gateway that takes over starts from them.
  void drop_session() {
    conn_.reset();
    if (snapshots_.size() > 0) {
      std::string errors;
      const std::size_t restored = snapshots_.restore_all(errors);
      log("put back {} device files as they were before their unacknowledged packets{}{}", restored,
          errors.empty() ? "" : "; failed: ", errors);
    }
    in_flight_.clear();
    order_.clear();
    for (auto& p : partitions_) p = PartitionState{};
  }

  // Takes the partition's lock if it is free; packets that waited for it then go on in
  // their order.
  bool hold_partition(std::uint32_t k) {
    PartitionState& p = partitions_[k];
    if (p.lock.held()) return true;
    std::string error;
    if (!p.lock.try_acquire(options_.registry_root, partition_queue(k), error)) {
      if (!p.waiting_since) {  // said once per wait; the lock is tried again every loop
        p.waiting_since = Clock::now();
        if (error.empty()) {
          log("partition {} waits until the gateway before lets go of it", k);
        } else {
          log("partition {} waits: {}", k, error);
        }
      }
      return false;
    }
    if (p.waiting_since) {
      log("partition {} taken after waiting {:.3f} s", k,
          std::chrono::duration<double>(Clock::now() - *p.waiting_since).count());
      p.waiting_since.reset();
    }
    while (!p.waiting_for_lock.empty() && conn_) {
      Delivery d = std::move(p.waiting_for_lock.front());
      p.waiting_for_lock.pop_front();
      route(std::move(d));
    }
    return true;
  }

  void retry_partition_locks() {
    for (std::uint32_t k = 0; k < options_.partitions && conn_; ++k) {
      if (!partitions_[k].waiting_for_lock.empty()) hold_partition(k);
    }
  }

  std::size_t waiting_for_locks() const {
    std::size_t n = 0;
    for (const auto& p : partitions_) n += p.waiting_for_lock.size();
    return n;
  }

  // Stopping decodes nothing more and waits for the confirms of what was decoded; closing
  // the connection then hands every other received packet back. The consumers are not
  // cancelled first: the broker would make another gateway active for the partition at
  // once, and it could decode a device's next packet while this one still finishes the
  // device's last.
  void begin_drain() {
    draining_ = true;
    drain_deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(options_.drain_seconds));
    log("stopping: decoding nothing more; waiting for {} confirms", in_flight_.size());
  }

  std::string partition_queue(std::uint32_t k) const { return fmt::format("{}.{}", options_.packets_queue, k); }
  std::string consumer_tag(std::uint32_t k) const { return fmt::format("{}/p{}", options_.name, k); }

  void handle(BrokerEvent event) {
    switch (event.kind) {
      case BrokerEvent::Kind::delivery: return on_delivery(std::move(event));
      case BrokerEvent::Kind::confirm: return on_confirm(event.tag, event.multiple);
      case BrokerEvent::Kind::reject: return on_reject(event.tag, event.multiple);
      case BrokerEvent::Kind::cancelled:
        // The broker cancels a consumer when its queue goes away or moves; start over.
        if (!draining_) {
          log("the broker cancelled consumer {}; reconnecting", event.consumer_tag);
          drop_session();
        }
        return;
      case BrokerEvent::Kind::timeout:
      case BrokerEvent::Kind::closed: return;
    }
  }

  void on_delivery(BrokerEvent event) {
    if (event.channel < kFirstPartitionChannel || event.channel >= kFirstPartitionChannel + options_.partitions) return;
    Delivery d;
    d.partition = event.channel - kFirstPartitionChannel;
    d.tag = event.tag;
    d.redelivered = event.redelivered;
    d.routing_key = std::move(event.routing_key);
    d.body = std::move(event.body);
    ++counters_.delivered;
    if (d.redelivered) ++counters_.redelivered;
    PartitionState& p = partitions_[d.partition];
    ++p.delivered;
    if (!p.active) {
      p.active = true;
      log("partition {} active at {:.3f} (session {})", d.partition, unix_seconds(), session_);
    }
    if (draining_) {  // goes back to the broker when the connection closes
      ++held_back_;
      return;
    }
    if (!hold_partition(d.partition)) {
      p.waiting_for_lock.push_back(std::move(d));
      return;
    }
    route(std::move(d));
  }

  void route(Delivery d) {
    std::string error;
    const auto view = view_packet(d.body, error);
    const std::uint32_t device = view ? view->source_aid : 0;
    if (auto now = order_.admit(device, std::move(d))) decode(std::move(*now), device);
  }

  void decode(Delivery d, std::uint32_t device) {
    snapshots_.take(device);
    const std::uint64_t ctx = kContextBase + session_ * options_.partitions + d.partition;
    const std::string request =
        decompress_request(ctx, base64_encode(d.body, Base64Alphabet::standard), options_.registry_root,
                           options_.state_check);
    const Answer answer = call_decompress(request, 4096 + 8 * d.body.size(), buffer_);
    std::string error;
    const std::optional<DeadReason> reason = classify_answer(answer.result > 0 ? answer.bytes : "", error);

    InFlight work;
    work.device = device;
    if (reason) {
      ++counters_.dead[*reason];
      if (*reason == DeadReason::unknown_template) ++unknown_by_device_[device];
      if (*reason == DeadReason::state_mismatch) ++mismatch_by_device_[device];
      work.dead = true;
      work.message = d.body;
      work.headers = {{"reason", std::string(dead_reason_name(*reason))},
                      {"error", error},
                      {"device", std::to_string(device)},
                      {"partition", std::to_string(d.partition)},
                      {"gateway", options_.name}};
    } else {
      std::string scratch;
      const auto view = view_packet(d.body, scratch);
      const std::string key = dedup_key(device, view->tid, view->timestamp_raw);
      work.message = fact_message(answer.bytes, {device, d.partition, options_.name, key, d.redelivered});
      if (jsonl_ != nullptr) {
        *jsonl_ << work.message << '\n';
        jsonl_dirty_ = true;
      }
      ++counters_.facts;
    }
    work.delivery = std::move(d);
    publish(std::move(work));
  }

  void publish(InFlight work) {
    const std::string& exchange = work.dead ? options_.dead_exchange : options_.facts_exchange;
    if (!conn_->publish(kPublishChannel, exchange, work.delivery.routing_key, work.message, work.headers)) return;
    in_flight_.emplace(next_publish_++, std::move(work));
  }

  void on_confirm(std::uint64_t tag, bool multiple) {
    if (jsonl_dirty_) {  // the file holds the fact before the packet is acknowledged
      jsonl_->flush();
      jsonl_dirty_ = false;
    }
    auto end = multiple ? in_flight_.upper_bound(tag) : in_flight_.find(tag);
    auto begin = multiple ? in_flight_.begin() : end;
    if (!multiple) {
      if (end == in_flight_.end()) return;
      ++end;
    }
    std::vector<std::uint32_t> freed;
    for (auto it = begin; it != end; ++it) {
      const Delivery& d = it->second.delivery;
      if (!conn_->ack(static_cast<std::uint16_t>(kFirstPartitionChannel + d.partition), d.tag)) return;
      ++counters_.acked;
      freed.push_back(it->second.device);
    }
    in_flight_.erase(begin, end);
    for (const std::uint32_t device : freed) release(device);
  }

  // The broker could not take a publish: publish it again (the packet stays unacknowledged).
  void on_reject(std::uint64_t tag, bool multiple) {
    std::vector<InFlight> again;
    for (auto it = in_flight_.begin(); it != in_flight_.end() && it->first <= tag;) {
      if (multiple || it->first == tag) {
        again.push_back(std::move(it->second));
        it = in_flight_.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& work : again) publish(std::move(work));
  }

  void release(std::uint32_t device) {
    snapshots_.forget(device);
    auto next = order_.release(device);
    if (next && draining_) ++held_back_;
    if (next && !draining_) decode(std::move(*next), device);
  }

  void print_status() {
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - last_status_).count();
    last_status_ = now;
    std::string active, lag;
    for (std::uint32_t k = 0; k < options_.partitions; ++k) {
      if (partitions_[k].active) active += fmt::format("{}{}", active.empty() ? "" : ",", k);
      if (conn_ && !conn_->broken()) partitions_[k].lag = conn_->queue_depth(kAdminChannel, partition_queue(k));
      lag += partitions_[k].lag ? fmt::format(" {}", *partitions_[k].lag) : " ?";
    }
    auto by_device = [](const std::map<std::uint32_t, std::uint64_t>& counts) {
      std::string text;
      for (const auto& [device, n] : counts) text += fmt::format(" {}={}", device, n);
      return text.empty() ? std::string(" none") : text;
    };
    auto dead = [&](DeadReason r) { return counters_.dead.contains(r) ? counters_.dead.at(r) : 0; };
    std::uint64_t dead_total = 0;
    for (const auto& [reason, n] : counters_.dead) dead_total += n;
    log("{:.0f} packets/s in, {:.0f} facts/s out; acked {}, redelivered {}, dead {} unknown-template {} "
        "state-mismatch {} crc {} malformed {}; active partitions [{}]; lag{}; unknown templates by device:{}; "
        "state mismatches by device:{}",
        (counters_.delivered - last_.delivered) / seconds, (counters_.facts - last_.facts) / seconds, counters_.acked,
        counters_.redelivered, dead_total, dead(DeadReason::unknown_template), dead(DeadReason::state_mismatch),
        dead(DeadReason::crc_mismatch), dead(DeadReason::malformed), active, lag, by_device(unknown_by_device_),
        by_device(mismatch_by_device_));
    last_ = counters_;
  }

  const GatewayOptions& options_;
  std::vector<BrokerAddress> brokers_;
  std::ofstream* jsonl_;
  bool jsonl_dirty_ = false;
  std::unique_ptr<BrokerConnection> conn_;
  std::uint64_t session_ = 0;
  std::uint64_t next_publish_ = 1;
  std::map<std::uint64_t, InFlight> in_flight_;  // by publish number
  DeviceQueue<Delivery> order_;                  // one packet per device in flight
  std::vector<PartitionState> partitions_;
  DeviceSnapshots snapshots_;
  std::vector<std::uint32_t> standby_;  // not yet subscribed
  Clock::time_point standby_at_;
  std::map<std::uint32_t, std::uint64_t> unknown_by_device_;   // dead-lettered packets, by kind
  std::map<std::uint32_t, std::uint64_t> mismatch_by_device_;
  Counters counters_, last_;
  Clock::time_point last_status_;
  bool draining_ = false;
  std::size_t held_back_ = 0;  // received while stopping
  Clock::time_point drain_deadline_;
  std::string buffer_;
};

}  // namespace

int run_gateway(const GatewayOptions& input) {
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
  install_stop_handlers();
  Gateway gateway(options, *brokers, jsonl.is_open() ? &jsonl : nullptr);
  return gateway.run();
}

}  // namespace tavkin
