// Compression of one fact record into its compact text, and the decomposition of that text
// into signature and values: the first two steps of the sending side.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_util.h"
#include "compressor/compress_fact.h"
#include "compressor/decompose.h"
#include "compressor/decompose_written.h"
#include "compressor/fact_compressor.h"
#include "fleet.h"
#include "scenario.h"
#include "support/fault.h"

namespace bench {
namespace {

vm::FactCompressor compressor_of(const std::string& config) {
  auto compressor = vm::read_compressor_config(vm::as_bytes(config));
  VM_CHECK(compressor);
  return std::move(*compressor);
}

void compress(benchmark::State& state, const std::string& config, const Fact& fact) {
  const vm::FactCompressor compressor = compressor_of(config);
  const std::string record = fact_record(fact);
  std::string out;
  VM_CHECK(vm::compress_fact(compressor, vm::as_bytes(record), out));
  CaseCounters counters(state);
  for (auto _ : state) {
    out.clear();
    const bool ok = vm::compress_fact(compressor, vm::as_bytes(record), out);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(out.data());
  }
}

void BM_CompressWorkedExample(benchmark::State& state) { compress(state, example_config(), example_fact()); }
BENCHMARK(BM_CompressWorkedExample)->Name("compress_fact/worked_example");

void BM_CompressSixteenReadings(benchmark::State& state) {
  compress(state, fleet_config(), sixteen_reading_fact());
}
BENCHMARK(BM_CompressSixteenReadings)->Name("compress_fact/16_readings");

// The fleet's compact texts one after another.
void BM_DecomposeFleet(benchmark::State& state) {
  const Scenario& s = scenario();
  vm::DecomposedFact fact;
  std::size_t i = 0;
  CaseCounters counters(state);
  for (auto _ : state) {
    const bool ok = vm::decompose(s.compact[i], fact);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(fact.sig.data());
    if (++i == s.compact.size()) i = 0;
  }
}
BENCHMARK(BM_DecomposeFleet)->Name("decompose/fleet");

// The same signatures and values taken from where compression wrote them (the batch's
// road): compression with its layout, then decompose_written. Against compress_fact/fleet.
void compress_fleet(benchmark::State& state, bool with_layout) {
  const Scenario& s = scenario();
  const vm::FactCompressor compressor = compressor_of(fleet_config());
  std::string text;
  vm::FactLayout layout;
  vm::DecomposedFact fact;
  std::size_t i = 0;
  CaseCounters counters(state);
  for (auto _ : state) {
    text.clear();
    const vm::ByteSpan record = vm::as_bytes(s.records[i]);
    const bool ok = with_layout ? vm::compress_fact(compressor, record, text, layout) &&
                                      vm::decompose_written(text, layout, fact)
                                : vm::compress_fact(compressor, record, text);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(fact.sig.data());
    if (++i == s.records.size()) i = 0;
  }
}
void BM_CompressFleet(benchmark::State& state) { compress_fleet(state, false); }
BENCHMARK(BM_CompressFleet)->Name("compress_fact/fleet");
void BM_CompressDecomposeWritten(benchmark::State& state) { compress_fleet(state, true); }
BENCHMARK(BM_CompressDecomposeWritten)->Name("compress_fact+decompose_written/fleet");

}  // namespace
}  // namespace bench
