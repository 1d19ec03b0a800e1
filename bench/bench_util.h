// Shared helpers of the benchmark cases: heap allocations counted per thread (the
// benchmark executable replaces operator new), and the counters every case reports.
// Each thread counts its own allocations; nothing here is shared between threads.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>

namespace bench {

// Heap allocations made by the calling thread so far.
[[nodiscard]] std::uint64_t thread_allocations() noexcept;

// Reports, once the timed loop is over, the allocations per iteration ("allocs") and how
// many facts or packets one iteration handles ("items"), from which the tables print
// the time per item.
class CaseCounters {
 public:
  explicit CaseCounters(benchmark::State& state, double items_per_iteration = 1)
      : state_(state), items_(items_per_iteration), start_(thread_allocations()) {}
  ~CaseCounters() {
    const auto iterations = static_cast<double>(state_.iterations());
    state_.counters["allocs"] = benchmark::Counter(
        iterations == 0 ? 0 : static_cast<double>(thread_allocations() - start_) / iterations,
        benchmark::Counter::kAvgThreads);
    state_.counters["items"] = benchmark::Counter(items_, benchmark::Counter::kAvgThreads);
    state_.SetItemsProcessed(state_.iterations() * static_cast<std::int64_t>(items_));
  }
  CaseCounters(const CaseCounters&) = delete;
  CaseCounters& operator=(const CaseCounters&) = delete;

 private:
  benchmark::State& state_;
  double items_;
  std::uint64_t start_;
};

}  // namespace bench
