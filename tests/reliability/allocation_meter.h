// Test helper: meters heap use through replaced global operator new/delete (defined in
// allocation_meter.cpp, which a test binary adds to its sources), so a test can bound the
// memory a call takes: largest single allocation, peak of live bytes. Thread-safe.
// Sanitizer builds own the allocator (and pair each free with its own kind of allocation),
// so there the meter is off and the tests skip their memory bounds.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VM_ALLOCATION_METER_OFF 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VM_ALLOCATION_METER_OFF 1
#endif
#endif

#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace meter {

#ifdef VM_ALLOCATION_METER_OFF
inline constexpr bool on = false;
#else
inline constexpr bool on = true;
#endif

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
