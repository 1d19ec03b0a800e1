// The peer's costs for the fleet's facts, one message at a time: zstd compression of the
// compact JSON (sending side), and on the receiving side zstd decompression plus the
// simdjson DOM parse that a user of the peer still needs to read the fact.
#include <benchmark/benchmark.h>

#include <simdjson.h>

#include <string>
#include <vector>

#include "bench_util.h"
#include "peer.h"
#include "scenario.h"

namespace bench {
namespace {

struct Frames {
  std::vector<std::string> frames;
  std::size_t largest_text = 0;
};

const Frames& fleet_frames() {
  static const Frames frames = [] {
    Frames f;
    Peer peer(peer_dictionary());
    for (const std::string& json : scenario().json) {
      std::string frame;
      peer.compress(json, frame);
      f.frames.push_back(std::move(frame));
      f.largest_text = std::max(f.largest_text, json.size());
    }
    return f;
  }();
  return frames;
}

void BM_PeerCompress(benchmark::State& state) {
  const std::vector<std::string>& json = scenario().json;
  Peer peer(peer_dictionary());
  std::string frame;
  std::size_t i = 0;
  CaseCounters counters(state);
  for (auto _ : state) {
    benchmark::DoNotOptimize(peer.compress(json[i], frame));
    if (++i == json.size()) i = 0;
  }
}
BENCHMARK(BM_PeerCompress)->Name("peer/zstd_compress");

// What the sending user of the peer runs per fact: the fact (a struct, as our record is)
// written as JSON into a reused buffer, then compressed.
void BM_PeerWriteAndCompress(benchmark::State& state) {
  const std::vector<Fact>& facts = scenario().facts;
  Peer peer(peer_dictionary());
  std::string json, frame;
  std::size_t i = 0;
  CaseCounters counters(state);
  for (auto _ : state) {
    json.clear();
    append_fact_json(json, facts[i]);
    benchmark::DoNotOptimize(peer.compress(json, frame));
    if (++i == facts.size()) i = 0;
  }
}
BENCHMARK(BM_PeerWriteAndCompress)->Name("peer/json_write+zstd_compress");

// What the receiving user runs per message: decompress, then parse (reusing one parser, the
// text decompressed into a buffer with the parser's padding).
template <bool kDecompress, bool kParse>
void receive(benchmark::State& state) {
  const Frames& f = fleet_frames();
  const std::vector<std::string>& json = scenario().json;
  Peer peer(peer_dictionary());
  simdjson::dom::parser parser;
  std::vector<char> text(f.largest_text + simdjson::SIMDJSON_PADDING);
  std::size_t i = 0;
  CaseCounters counters(state);
  for (auto _ : state) {
    std::size_t n = json[i].size();
    if constexpr (kDecompress) n = peer.decompress(f.frames[i], text.data(), text.size() - simdjson::SIMDJSON_PADDING);
    else std::copy(json[i].begin(), json[i].end(), text.begin());
    if constexpr (kParse) {
      simdjson::dom::element doc;
      if (parser.parse(text.data(), n, false).get(doc) != simdjson::SUCCESS) state.SkipWithError("parse");
      benchmark::DoNotOptimize(doc);
    }
    benchmark::DoNotOptimize(text.data());
    if (++i == json.size()) i = 0;
  }
}

void BM_PeerDecompress(benchmark::State& state) { receive<true, false>(state); }
BENCHMARK(BM_PeerDecompress)->Name("peer/zstd_decompress");

void BM_PeerParse(benchmark::State& state) { receive<false, true>(state); }
BENCHMARK(BM_PeerParse)->Name("peer/simdjson_parse");

void BM_PeerReceive(benchmark::State& state) { receive<true, true>(state); }
BENCHMARK(BM_PeerReceive)->Name("peer/zstd_decompress+parse");

}  // namespace
}  // namespace bench
