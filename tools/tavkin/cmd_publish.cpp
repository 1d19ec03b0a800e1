// `tavkin publish`: the demo fleet as a sender on the broker. Each fact is compressed and
// sent through run requests; its packet goes to the partitioned exchange with the device
// id as routing key, under publisher confirms. With --expect-out, the receiver's answer
// the fact must produce is written beside it, keyed like the gateway's facts.
//
// A publish the broker did not confirm before the connection broke may or may not have
// arrived. Sending that packet again could put an old difference behind a newer one, so
// after reconnecting the fact is sent again as a full packet, which is right whatever
// the receiver holds, and the device's later packets follow from it.
#include <chrono>
#include <fstream>
#include <map>
#include <thread>

#include <fmt/format.h>

#include "broker.h"
#include "broker_commands.h"
#include "fleet.h"
#include "gateway_outcome.h"
#include "json_view.h"
#include "library.h"
#include "packet_view.h"
#include "progress.h"

namespace tavkin {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kSenderCtx = 1;
constexpr std::uint16_t kChannel = 1;

struct Unconfirmed {
  std::uint32_t aid;
  std::string text;
};

class Publisher {
 public:
  Publisher(const PublishOptions& options, std::vector<BrokerAddress> brokers, const Compressor& compressor,
            std::ofstream* expect)
      : options_(options), brokers_(std::move(brokers)), compressor_(compressor), expect_(expect) {}

  int run() {
    Fleet fleet(options_.devices, options_.seed, options_.moving);
    Progress progress("tavkin publish", options_.facts, !options_.quiet);
    const auto start = Clock::now();
    for (std::uint64_t i = 0; i < options_.facts; ++i) {
      Fact fact = fleet.next();
      const auto text = compressor_.compress(fact_record(fact));
      if (!text) {
        fmt::print(stderr, "tavkin publish: the library refused a fact record\n");
        return 1;
      }
      if (!send(*fact.aid, *text, false)) return 3;
      while (unconfirmed_.size() >= options_.window) {
        if (!wait_confirms()) return 3;
      }
      if (options_.rate > 0) {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>((i + 1) / options_.rate)));
      }
      progress.update(i + 1);
    }
    while (!unconfirmed_.empty()) {
      if (!wait_confirms()) return 3;
    }
    progress.finish();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    fmt::print(stderr, "tavkin publish: {} facts from {} devices{} confirmed in {:.1f} s ({:.0f}/s); "
               "{} sent again as full packets after a reconnect\n",
               options_.facts, options_.devices, options_.moving ? " (moving fleet)" : "", seconds,
               options_.facts / seconds, resent_);
    return 0;
  }

 private:
  // Makes the packet of one fact and publishes it. False when no broker takes it.
  bool send(std::uint32_t aid, const std::string& text, bool full) {
    const std::string request = run_request(kSenderCtx, text, aid, full, options_.registry, options_.state_check);
    const Answer answer = call_run(request, text.size(), buffer_);
    if (answer.result <= 0 || answer.bytes.front() == '{') {
      fmt::print(stderr, "tavkin publish: no packet for device {}: {}\n", aid, answer.result > 0 ? answer.bytes : "");
      return false;
    }
    const std::string packet(answer.bytes);
    if (expect_ != nullptr) write_expected(aid, text, packet);
    while (true) {
      if (!conn_ && !connect()) return false;
      if (conn_->publish(kChannel, options_.exchange, std::to_string(aid), packet)) break;
      reconnect_and_resend();
    }
    unconfirmed_.emplace(next_publish_++, Unconfirmed{aid, text});
    return true;
  }

  void write_expected(std::uint32_t aid, std::string_view text, std::string_view packet) {
    std::string error;
    const auto view = view_packet(packet, error);
    const PacketMeta meta{view->cmd, aid, view->tid, view->timestamp_raw, true};
    std::string line = "{\"dedup_key\":\"" + dedup_key(aid, view->tid, view->timestamp_raw) + "\",\"fact\":";
    line += expected_decompress_answer(text, meta);
    line += "}\n";
    *expect_ << line;
  }

  bool wait_confirms() {
    if (!conn_ && !connect()) return false;
    const BrokerEvent event = conn_->next(std::chrono::milliseconds(200));
    if (event.kind == BrokerEvent::Kind::confirm) {
      auto end = event.multiple ? unconfirmed_.upper_bound(event.tag) : unconfirmed_.find(event.tag);
      auto begin = event.multiple ? unconfirmed_.begin() : end;
      if (!event.multiple && end != unconfirmed_.end()) ++end;
      unconfirmed_.erase(begin, end);
    } else if (event.kind == BrokerEvent::Kind::reject || conn_->broken()) {
      reconnect_and_resend();
    }
    return true;
  }

  void reconnect_and_resend() {
    if (conn_) fmt::print(stderr, "tavkin publish: {}; reconnecting\n", conn_->last_error());
    conn_.reset();
    std::map<std::uint64_t, Unconfirmed> again;
    again.swap(unconfirmed_);
    for (auto& [number, u] : again) {
      ++resent_;
      if (!send(u.aid, u.text, true)) return;
    }
  }

  bool connect() {
    for (std::size_t attempt = 0; attempt < 3 * brokers_.size(); ++attempt) {
      std::string error;
      auto conn = BrokerConnection::open(brokers_[next_broker_++ % brokers_.size()], error);
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
  std::ofstream* expect_;
  std::unique_ptr<BrokerConnection> conn_;
  std::size_t next_broker_ = 0;
  std::uint64_t next_publish_ = 1;
  std::map<std::uint64_t, Unconfirmed> unconfirmed_;
  std::uint64_t resent_ = 0;
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
  Publisher publisher(options, *brokers, *compressor, expect.is_open() ? &expect : nullptr);
  const int status = publisher.run();
  if (expect.is_open() && !expect.flush()) {
    fmt::print(stderr, "tavkin publish: cannot write {}\n", options.expect_out);
    return 1;
  }
  return status;
}

}  // namespace tavkin
