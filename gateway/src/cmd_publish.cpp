// `tavkin publish`: the demo fleet as a sender on the broker. Each fact is compressed and
// sent through run requests; its packet goes to the partitioned exchange under publisher
// confirms. With --expect-out, the receiver's answer the fact must produce is written
// beside it, keyed like the gateway's facts.
//
// Routing: a device's packets must always travel under one routing key, since the
// consistent-hash exchange picks the partition from it and a device's order and registry
// file belong to one partition. One packet per message is keyed tavkin.packets.<device id>
// (device_route.h), the key an MQTT device's topic arrives with. With --mqtt each such
// message goes to the broker's MQTT listener instead, on topic tavkin/packets/<device id>
// with QoS 1; a PUBACK counts as the confirm. With
// --batch N the devices are grouped into --edges E edge senders (device aid % E, keyed
// "edge-K"), as devices behind edge gateways would be; each edge's packets are framed N
// to a message in order, flushed when full, after --batch-ms, and at the end.
//
// Key frames: every --keyframe-every-th packet of a device is full, so a receiver that
// lost a device's state (a damaged file at hand-over) decodes it again within that many
// packets instead of refusing it until the device's next new template.
//
// A publish the broker did not confirm before the connection broke may or may not have
// arrived. Over AMQP, sending that packet again could put an old difference behind a newer
// one, so after reconnecting its facts are sent again as full packets, which are right
// whatever the receiver holds, and so are the facts still waiting in a batch (their
// packets were made after the unconfirmed ones); the device's later packets follow from
// them. Over MQTT the same bytes are published again, in order, as a device would: a copy
// that had arrived is answered "already applied" instead of making a second fact, which
// holds while a device has fewer packets awaiting PUBACK than its receiver remembers
// (MqttSession bounds them per topic).
#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <thread>

#include <fmt/format.h>

#include "broker.h"
#include "broker_commands.h"
#include "codec.h"
#include "device_route.h"
#include "fleet.h"
#include "gateway_outcome.h"
#include "json_view.h"
#include "key_frame_tally.h"
#include "library.h"
#include "mqtt_session.h"
#include "packet_batch.h"
#include "packet_view.h"
#include "progress.h"

namespace tavkin {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kSenderCtx = 1;
constexpr std::uint16_t kChannel = 1;
constexpr std::uint32_t kFleetAidStep = 7919;  // the fleet's device ids are a fixed base plus index * this

// A fact kept until its message is confirmed, to be sent again after a reconnect.
struct Sent {
  std::uint64_t order;  // position among all facts sent, so a resend keeps each device's order
  std::uint32_t aid;
  std::string text;
  std::string packet;  // with --mqtt: the bytes to publish again
};

// The packets of one edge sender waiting for their batch to fill.
struct Edge {
  std::vector<Sent> facts;
  std::vector<std::string> packets;
  Clock::time_point first;  // when the oldest waiting packet was made
};

struct Outputs {
  std::ofstream* expect = nullptr;
  std::ofstream* packets = nullptr;
};

class Publisher {
 public:
  Publisher(const PublishOptions& options, std::vector<BrokerAddress> brokers, const Compressor& compressor,
            Outputs outputs)
      : options_(options),
        brokers_(std::move(brokers)),
        compressor_(compressor),
        outputs_(outputs),
        edges_(options.batch > 0 ? options.edges : 0) {}

  int run() {
    Fleet fleet(options_.devices, options_.seed, options_.moving);
    Progress progress("tavkin publish", options_.facts, !options_.quiet);
    const auto start = Clock::now();
    for (std::uint64_t i = 0; i < options_.facts; ++i) {
      Fact fact = fleet.next();
      fact.aid = *fact.aid + options_.first_device * kFleetAidStep;
      const auto text = compressor_.compress(fact_record(fact));
      if (!text) {
        fmt::print(stderr, "tavkin publish: the library refused a fact record\n");
        return 1;
      }
      if (!send(*fact.aid, *text, false) || !flush_waiting(false)) return 3;
      while (unconfirmed_.size() >= options_.window) {
        if (!wait_confirms()) return 3;
      }
      if (options_.rate > 0 && !pace(start + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>((i + 1) / options_.rate)))) {
        return 3;
      }
      progress.update(i + 1);
    }
    while (true) {  // a reconnect meanwhile puts facts back into batches
      if (!flush_waiting(true)) return 3;
      if (unconfirmed_.empty()) break;
      if (!wait_confirms()) return 3;
    }
    progress.finish();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::string batching =
        options_.batch > 0 ? fmt::format(" in {} batch messages through {} edges", messages_, options_.edges) : "";
    fmt::print(stderr, "tavkin publish: {} facts from {} devices{}{} confirmed in {:.1f} s ({:.0f}/s); "
               "{} key frames; {} sent again{} after a reconnect\n",
               options_.facts, options_.devices, options_.moving ? " (moving fleet)" : "", batching, seconds,
               options_.facts / seconds, keyframes_.count(), resent_, options_.mqtt ? " over MQTT" : " as full packets");
    return 0;
  }

 private:
  // Makes the packet of one fact and publishes it, or puts it in its edge's batch. False
  // when no broker takes it.
  bool send(std::uint32_t aid, const std::string& text, bool full) {
    const std::string request = run_request(kSenderCtx, text, aid, full, options_.registry, options_.state_check,
                                            {options_.keyframe_every, 0});
    const Answer answer = call_run(request, text.size(), buffer_);
    if (answer.result <= 0 || answer.bytes.front() == '{') {
      fmt::print(stderr, "tavkin publish: no packet for device {}: {}\n", aid, answer.result > 0 ? answer.bytes : "");
      return false;
    }
    std::string packet(answer.bytes);
    keyframes_.add(aid, text, packet, full);
    if (outputs_.expect != nullptr) write_expected(aid, text, packet);
    if (outputs_.packets != nullptr) *outputs_.packets << base64_encode(packet, Base64Alphabet::standard) << '\n';
    Sent sent{next_order_++, aid, text, options_.mqtt ? packet : std::string()};
    if (edges_.empty()) return publish(device_routing_key(aid), packet, {std::move(sent)});
    Edge& edge = edges_[aid % edges_.size()];
    if (edge.packets.empty()) edge.first = Clock::now();
    edge.facts.push_back(std::move(sent));
    edge.packets.push_back(std::move(packet));
    return edge.packets.size() < options_.batch || flush(aid % edges_.size());
  }

  bool flush(std::size_t index) {
    Edge& edge = edges_[index];
    if (edge.packets.empty()) return true;
    const std::vector<std::string_view> views(edge.packets.begin(), edge.packets.end());
    const std::string body = frame_batch(views);
    std::vector<Sent> facts = std::move(edge.facts);
    edge.facts.clear();
    edge.packets.clear();
    return publish(fmt::format("edge-{}", index), body, std::move(facts));
  }

  // Flushes the batches whose oldest packet waited --batch-ms, or all of them.
  bool flush_waiting(bool all) {
    const auto now = Clock::now();
    const auto linger = std::chrono::duration<double, std::milli>(options_.batch_ms);
    for (std::size_t k = 0; k < edges_.size(); ++k) {
      if (!edges_[k].packets.empty() && (all || now - edges_[k].first >= linger) && !flush(k)) return false;
    }
    return true;
  }

  // Sleeps until `until`, flushing batches that wait too long meanwhile.
  bool pace(Clock::time_point until) {
    const auto step = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(std::max(1.0, options_.batch_ms / 4)));
    while (Clock::now() < until) {
      std::this_thread::sleep_until(edges_.empty() ? until : std::min(until, Clock::now() + step));
      if (!flush_waiting(false)) return false;
    }
    return true;
  }

  bool publish(const std::string& routing_key, std::string_view body, std::vector<Sent> facts) {
    if (!connected() && !connect()) return false;
    const bool published = mqtt_ ? mqtt_->publish(mqtt_topic_of(routing_key), body)
                                 : conn_->publish(kChannel, options_.exchange, routing_key, body);
    ++messages_;
    unconfirmed_.emplace(next_publish_++, std::move(facts));  // a failed publish may still have arrived
    return published || reconnect_and_resend();
  }

  void write_expected(std::uint32_t aid, std::string_view text, std::string_view packet) {
    std::string error;
    const auto view = view_packet(packet, error);
    const PacketMeta meta{view->cmd, aid, view->tid, view->timestamp_raw, true};
    std::string line = "{\"dedup_key\":\"" + dedup_key(aid, view->tid, view->timestamp_raw) + "\",\"fact\":";
    line += expected_decompress_answer(text, meta);
    line += "}\n";
    *outputs_.expect << line;
  }

  bool wait_confirms() {
    if (!connected() && !connect()) return false;
    const auto wait = std::chrono::milliseconds(200);
    const BrokerEvent event = mqtt_ ? mqtt_->next(wait) : conn_->next(wait);
    if (event.kind == BrokerEvent::Kind::confirm) {
      auto end = event.multiple ? unconfirmed_.upper_bound(event.tag) : unconfirmed_.find(event.tag);
      auto begin = event.multiple ? unconfirmed_.begin() : end;
      if (!event.multiple && end != unconfirmed_.end()) ++end;
      unconfirmed_.erase(begin, end);
    } else if (event.kind == BrokerEvent::Kind::reject || (mqtt_ ? mqtt_->broken() : conn_->broken())) {
      return reconnect_and_resend();
    }
    return true;
  }

  // Sends every unconfirmed and every waiting fact again, in the order they were first sent.
  bool reconnect_and_resend() {
    if (connected()) {
      fmt::print(stderr, "tavkin publish: {}; reconnecting\n", mqtt_ ? mqtt_->last_error() : conn_->last_error());
    }
    conn_.reset();
    mqtt_.reset();
    std::vector<Sent> again;
    for (auto& [number, facts] : unconfirmed_) std::move(facts.begin(), facts.end(), std::back_inserter(again));
    unconfirmed_.clear();
    for (Edge& edge : edges_) {
      std::move(edge.facts.begin(), edge.facts.end(), std::back_inserter(again));
      edge.facts.clear();
      edge.packets.clear();
    }
    std::sort(again.begin(), again.end(), [](const Sent& a, const Sent& b) { return a.order < b.order; });
    for (Sent& s : again) {
      ++resent_;
      if (!options_.mqtt && !send(s.aid, s.text, true)) return false;
      if (options_.mqtt) {
        const std::string packet = s.packet, key = device_routing_key(s.aid);
        if (!publish(key, packet, {std::move(s)})) return false;
      }
    }
    return true;
  }

  bool connected() const { return conn_ || mqtt_; }

  bool connect() {
    for (std::size_t attempt = 0; attempt < 3 * brokers_.size(); ++attempt) {
      std::string error;
      const BrokerAddress& address = brokers_[next_broker_++ % brokers_.size()];
      if (options_.mqtt) {
        mqtt_ = MqttSession::open(address, static_cast<std::uint16_t>(std::min<std::uint32_t>(options_.window, 65535)),
                                  VM_RECEIVE_ONCE_WINDOW / 2, error);
        if (mqtt_) {
          next_publish_ = 1;
          return true;
        }
        fmt::print(stderr, "tavkin publish: {}\n", error);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        continue;
      }
      auto conn = BrokerConnection::open(address, error);
      if (conn && conn->open_channel(kChannel) && conn->confirm_mode(kChannel)) {
        conn_ = std::move(conn);
        next_publish_ = 1;
        return true;
      }
      fmt::print(stderr, "tavkin publish: {}\n", conn ? conn->last_error() : error);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return false;
  }

  const PublishOptions& options_;
  std::vector<BrokerAddress> brokers_;
  const Compressor& compressor_;
  Outputs outputs_;
  KeyFrameTally keyframes_;
  std::vector<Edge> edges_;  // none without --batch
  std::unique_ptr<BrokerConnection> conn_;
  std::unique_ptr<MqttSession> mqtt_;  // with --mqtt, instead of conn_
  std::size_t next_broker_ = 0;
  std::uint64_t next_publish_ = 1;
  std::uint64_t next_order_ = 0;
  std::map<std::uint64_t, std::vector<Sent>> unconfirmed_;  // by publish number; the window counts messages
  std::uint64_t messages_ = 0, resent_ = 0;
  std::string buffer_;
};

}  // namespace

int run_publish(const PublishOptions& options) {
  std::string error;
  const auto brokers = parse_brokers(options.brokers, error);
  if (!brokers) {
    fmt::print(stderr, "tavkin publish: {}\n", error);
    return 2;
  }
  if (options.mqtt && options.batch > 0) {  // a batch is keyed by its edge, which no device topic names
    fmt::print(stderr, "tavkin publish: --batch is for AMQP senders only, not with --mqtt\n");
    return 2;
  }
  auto compressor = Compressor::create(Fleet::compressor_settings());
  if (!compressor) {
    fmt::print(stderr, "tavkin publish: the library refused the compressor configuration\n");
    return 1;
  }
  std::ofstream expect;
  if (!options.expect_out.empty()) {
    expect.open(options.expect_out, std::ios::binary | std::ios::trunc);
    if (!expect) {
      fmt::print(stderr, "tavkin publish: cannot write {}\n", options.expect_out);
      return 1;
    }
  }
  std::ofstream packets;
  if (!options.packets_out.empty()) {
    packets.open(options.packets_out, std::ios::binary | std::ios::trunc);
    if (!packets) {
      fmt::print(stderr, "tavkin publish: cannot write {}\n", options.packets_out);
      return 1;
    }
  }
  Publisher publisher(options, *brokers, *compressor,
                      {expect.is_open() ? &expect : nullptr, packets.is_open() ? &packets : nullptr});
  const int status = publisher.run();
  for (auto [file, path] : {std::pair{&expect, &options.expect_out}, std::pair{&packets, &options.packets_out}}) {
    if (file->is_open() && !file->flush()) {
      fmt::print(stderr, "tavkin publish: cannot write {}\n", *path);
      return 1;
    }
  }
  return status;
}

}  // namespace tavkin
