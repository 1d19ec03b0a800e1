// The context lookup every request makes: with one context held, and with the cache full
// (2048 contexts) and requests spread over all of them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench_util.h"
#include "contexts/context_cache.h"

namespace bench {
namespace {

void lookups(benchmark::State& state, std::size_t held) {
  vm::ContextCache cache;
  std::vector<std::uint64_t> order;
  for (std::uint64_t id = 1; id <= held; ++id) {
    (void)cache.state_for(id);
    order.push_back(id);
  }
  // A fixed shuffle, so that successive lookups land on unrelated entries.
  std::uint64_t x = 88172645463325252ull;
  for (std::size_t i = order.size(); i > 1; --i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    std::swap(order[i - 1], order[x % i]);
  }
  std::size_t i = 0;
  CaseCounters counters(state);
  for (auto _ : state) {
    vm::FusionStatePtr s = cache.state_for(order[i]);
    benchmark::DoNotOptimize(s.get());
    if (++i == order.size()) i = 0;
  }
}

void BM_LookupOneHeld(benchmark::State& state) { lookups(state, 1); }
BENCHMARK(BM_LookupOneHeld)->Name("context_lookup/1_held");

void BM_LookupFullCache(benchmark::State& state) { lookups(state, vm::CONTEXT_CACHE_MAX_ENTRIES); }
BENCHMARK(BM_LookupFullCache)->Name("context_lookup/2048_held");

}  // namespace
}  // namespace bench
