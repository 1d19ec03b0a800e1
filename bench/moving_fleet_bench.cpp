// Bytes on the wire for a fleet that moves and talks: the bench fleet with every fourth
// device reporting a new geohash with each fact (a new template every time, so template
// numbers are recycled) and every fourth another a free-text message with most facts.
// Our packets through run requests, beside the peer's zstd frames of the same facts'
// JSON (with the dictionary trained on the steady fleet). Reported as counters, per fact.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "peer.h"
#include "scenario.h"
#include "velmarinthos_tavkin.h"

namespace bench {
namespace {

constexpr std::uint64_t kMovingContext = 450;
constexpr std::size_t kMovingFacts = 20000;

std::vector<Fact> moving_fleet() {
  std::vector<Fact> facts = fleet_facts(7, kMovingFacts);
  std::mt19937_64 rng(11);
  static constexpr char kGeohash[] = "0123456789bcdefghjkmnpqrstuvwxyz";
  static const char* const kWords[] = {"door opened", "battery low", "restarted", "calibrated"};
  for (Fact& f : facts) {
    if (f.aid % 4 == 1) {
      f.geohash = std::string(7, ' ');
      for (char& c : *f.geohash) c = kGeohash[rng() % 32];
    } else if (f.aid % 4 == 2 && rng() % 5 != 0) {
      f.msg = std::string(kWords[rng() % 4]) + " at " + std::to_string(static_cast<long long>(f.timestamp)) +
              ", queue " + std::to_string(rng() % 50);
    }
  }
  return facts;
}

std::string run_request(std::uint64_t ctx, const std::string& compact) {
  std::string r = "{\"ctx_id\":" + std::to_string(ctx) + ",\"raw_input\":\"";
  for (char c : compact) {
    if (c == '"' || c == '\\') r += '\\';
    r += c;  // compact texts of this fleet hold no control bytes
  }
  return r + "\"}";
}

void BM_MovingFleetBytes(benchmark::State& state) {
  static const std::vector<Fact> facts = moving_fleet();
  std::vector<std::string> requests;
  std::vector<std::string> json;
  for (const Fact& f : facts) {
    requests.push_back(run_request(kMovingContext, compact_text(f)));
    json.push_back(fact_json(f));
  }
  std::vector<std::uint8_t> out(1 << 16);
  Peer peer(peer_dictionary());
  std::string frame;
  double ours = 0, zstd = 0, source = 0, full = 0;
  std::size_t i = 0;
  CaseCounters counters(state);
  // One pass over the stream from a fresh context (the case runs exactly that many
  // iterations), so that the bytes are those of the fleet from its first fact.
  for (auto _ : state) {
    const std::string& in = requests[i++];
    const std::int32_t n =
        vm_fusion_run_json_v1(reinterpret_cast<const std::uint8_t*>(in.data()), in.size(), out.data(), out.size());
    ours += n;
    full += n > 0 && out[0] == 63;
  }
  for (const std::string& j : json) {
    zstd += static_cast<double>(peer.compress(j, frame));
    source += static_cast<double>(j.size());
  }
  const auto per_fact = [&](double total, double count) { return benchmark::Counter(total / count); };
  state.counters["ours_B"] = per_fact(ours, static_cast<double>(state.iterations()));
  state.counters["full_share"] = per_fact(full, static_cast<double>(state.iterations()));
  state.counters["zstd_B"] = per_fact(zstd, static_cast<double>(json.size()));
  state.counters["json_B"] = per_fact(source, static_cast<double>(json.size()));
}
BENCHMARK(BM_MovingFleetBytes)->Name("bytes/moving_fleet")->Iterations(kMovingFacts);

}  // namespace
}  // namespace bench
