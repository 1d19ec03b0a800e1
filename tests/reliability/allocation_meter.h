// Test helper: meters heap use through replaced global operator new/delete (defined in
// allocation_meter.cpp, which a test binary adds to its sources), so a test can bound the
// memory a call takes: largest single allocation, peak of live bytes. Thread-safe.
#pragma once

#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace meter {

inline std::atomic<std::size_t> live{0};
inline std::atomic<std::size_t> peak{0};
inline std::atomic<std::size_t> largest{0};

inline void raise(std::atomic<std::size_t>& to, std::size_t value) {
  std::size_t seen = to.load(std::memory_order_relaxed);
  while (seen < value && !to.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

// Starts a measurement: peak and largest count from now on.
inline void reset() {
  peak = live.load();
  largest = 0;
}
// Bytes above the live count at reset() at the highest point since.
inline std::size_t peak_growth(std::size_t at_reset) { return peak.load() - at_reset; }

}  // namespace meter
