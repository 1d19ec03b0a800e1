// `tavkin demo --loss P`: what a lossy link does to a receiver with and without state
// checks. The fleet's packets, sent with state checks and key frames, cross a link that
// drops a seeded share of them; the survivors reach a receiver that requires the checks
// and one that does not (it ignores the byte, as a receiver of the published packets
// does). A lossless receiver of every packet gives the answer each fact should get.
// Deterministic for a seed: no clock enters the output.
#include <random>
#include <unordered_map>

#include <fmt/format.h>

#include "codec.h"
#include "commands.h"
#include "demo_sender.h"
#include "fleet.h"
#include "packet_view.h"
#include "progress.h"

namespace tavkin {
namespace {

constexpr std::uint64_t kSenderCtx = 1;
constexpr std::uint64_t kReferenceCtx = 2;
constexpr std::uint64_t kCheckingCtx = 3;
constexpr std::uint64_t kPlainCtx = 4;
constexpr std::string_view kStateMismatch = "state_mismatch";

// Drops each packet with odds `loss`, from its own seeded stream so that the same fleet
// seed loses the same packets whatever the sender's batching.
class Link {
 public:
  Link(double loss, std::uint64_t seed) : loss_(loss), rng_(seeded(seed)) {}
  [[nodiscard]] bool drops() { return std::uniform_real_distribution<double>(0, 1)(rng_) < loss_; }

 private:
  static std::mt19937_64 seeded(std::uint64_t seed) {
    std::seed_seq seq{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32), 0x6c696e6bu};
    return std::mt19937_64(seq);
  }

  double loss_;
  std::mt19937_64 rng_;
};

// What one receiver made of the packets it got, against the lossless answers.
//
// A divergence is the moment a template that answered right starts answering wrong or
// being refused for a state mismatch: its state here is no longer the sender's. A refused
// packet counts as recovered once its template answers right again (after the next full
// packet that arrives).
class Tally {
 public:
  enum class Outcome { right, wrong, refused, refused_mismatch };

  void count(std::uint64_t key, Outcome outcome) {
    Template& t = templates_[key];
    switch (outcome) {
      case Outcome::right:
        ++right;
        recovered += t.refused_since_right;
        t = {};
        return;
      case Outcome::wrong: ++wrong; break;
      case Outcome::refused: ++refused; ++t.refused_since_right; return;
      case Outcome::refused_mismatch: ++refused; ++t.refused_since_right; break;
    }
    if (!t.diverged) ++divergences;
    t.diverged = true;
  }

  std::uint64_t right = 0, wrong = 0, refused = 0, recovered = 0, divergences = 0;

 private:
  struct Template {
    bool diverged = false;
    std::uint64_t refused_since_right = 0;
  };
  std::unordered_map<std::uint64_t, Template> templates_;
};

class Receiver {
 public:
  Receiver(std::uint64_t ctx, bool state_check) : ctx_(ctx), state_check_(state_check) {}

  // The library's answer to the packet (empty when it gave none); valid until the next call.
  std::string_view decode(std::string_view packet) {
    const std::string request = decompress_request(ctx_, base64_encode(packet, Base64Alphabet::standard), "",
                                                   state_check_);
    const Answer answer = call_decompress(request, 1 << 16, buffer_);
    return answer.result > 0 ? answer.bytes : std::string_view{};
  }

  void take(std::string_view packet, std::uint64_t key, std::string_view expected) {
    const std::string_view answer = decode(packet);
    if (answer == expected) return tally.count(key, Tally::Outcome::right);
    const auto error = answer.empty() ? std::optional<std::string>("no answer") : answer_error(answer);
    if (!error) return tally.count(key, Tally::Outcome::wrong);
    tally.count(key, *error == kStateMismatch ? Tally::Outcome::refused_mismatch : Tally::Outcome::refused);
  }

  Tally tally;

 private:
  std::uint64_t ctx_;
  bool state_check_;
  std::string buffer_;
};

struct LinkTotals {
  std::uint64_t facts = 0, delivered = 0;
  std::uint64_t lost_full = 0, lost_heartbeat = 0, lost_difference = 0;
  std::uint64_t problems = 0;  // facts the lossless road itself got wrong: a fault
  [[nodiscard]] std::uint64_t lost() const { return lost_full + lost_heartbeat + lost_difference; }
};

std::string ratio(std::uint64_t n, std::uint64_t d) { return d == 0 ? "-" : fmt::format("{:.3f}", double(n) / d); }

void print_table(const DemoOptions& options, const LinkTotals& link, const Tally& checking, const Tally& plain) {
  fmt::print("tavkin demo: {} facts from {} devices (seed {}) over a link losing {:g}% of packets, key frames every {} "
             "packets{}\n",
             link.facts, options.devices, options.seed, *options.loss * 100, options.keyframe_every,
             options.keyframe_seconds > 0 ? fmt::format(" or {:g} s", options.keyframe_seconds) : "");
  fmt::print("  lost packets  {:>10}  full {}, heartbeat {}, difference {}\n", link.lost(), link.lost_full,
             link.lost_heartbeat, link.lost_difference);
  auto row = [](std::string_view name, auto a, auto b) { fmt::print("  {:<18}{:>10}{:>10}\n", name, a, b); };
  row("facts", "checking", "plain");
  row("right", checking.right, plain.right);
  row("refused", checking.refused, plain.refused);
  row("  recovered", checking.recovered, plain.recovered);
  row("wrong", checking.wrong, plain.wrong);
  row("lost", link.lost(), link.lost());
  row("divergences", checking.divergences, plain.divergences);
  row("wrong/divergence", ratio(checking.wrong, checking.divergences), ratio(plain.wrong, plain.divergences));
  fmt::print("  expected wrong facts per divergence: 1/255 = 0.004 with state checks (a drifted template passes a\n"
             "  check with odds 1/256, and every later packet is checked again); without them, every packet of the\n"
             "  template until a later difference overwrites what was lost, or its next full packet\n");
}

}  // namespace

int run_loss_demo(const DemoOptions& options) {
  auto compressor = Compressor::create(Fleet::compressor_settings());
  if (!compressor) {
    fmt::print(stderr, "tavkin demo: the library refused the compressor configuration\n");
    return 1;
  }
  SenderSettings settings;
  settings.ctx = kSenderCtx;
  settings.via_run = options.via_run;
  settings.keyframes = {options.keyframe_every, options.keyframe_seconds};
  DemoSender sender(*compressor, settings);
  Fleet fleet(options.devices, options.seed);
  Link link(*options.loss, options.seed);
  Receiver reference(kReferenceCtx, true), checking(kCheckingCtx, true), plain(kPlainCtx, false);
  LinkTotals totals;
  Progress progress("tavkin demo", options.facts, !options.quiet);
  std::vector<Sent> group;
  for (std::uint64_t done = 0; done < options.facts;) {
    group.clear();
    const std::uint64_t n = std::min<std::uint64_t>(options.batch_size, options.facts - done);
    for (std::uint64_t i = 0; i < n; ++i) {
      Fact fact = fleet.next();
      auto text = compressor->compress(fact_record(fact));
      if (!text) {
        fmt::print(stderr, "tavkin demo: the library refused a fact record\n");
        return 1;
      }
      group.push_back({std::move(fact), std::move(*text)});
    }
    for (const std::string& packet : sender.send(group)) {
      ++totals.facts;
      std::string error;
      const auto view = view_packet(packet, error);
      const std::string_view expected = view ? reference.decode(packet) : std::string_view{};
      if (expected.empty() || answer_error(expected)) {
        if (++totals.problems <= 5) fmt::print(stderr, "tavkin demo: fact {} got no answer on a lossless link: {}\n",
                                                totals.facts, expected.empty() ? "no packet" : expected);
        continue;
      }
      if (link.drops()) {
        ++(view->base_cmd == kDataFull ? totals.lost_full
           : view->base_cmd == kDataHeart ? totals.lost_heartbeat : totals.lost_difference);
        continue;
      }
      ++totals.delivered;
      const std::uint64_t key = std::uint64_t{view->source_aid} << 8 | view->tid;
      checking.take(packet, key, expected);
      plain.take(packet, key, expected);
    }
    done += n;
    progress.update(done);
  }
  progress.finish();
  print_table(options, totals, checking.tally, plain.tally);
  if (totals.problems > 0) {
    fmt::print(stderr, "tavkin demo: {} fact(s) went wrong on the lossless road\n", totals.problems);
    return 1;
  }
  return 0;
}

}  // namespace tavkin
