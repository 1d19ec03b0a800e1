// Replaces the global allocation functions of the benchmark executable to count heap
// allocations per thread; the cases report them per call. Under AddressSanitizer, which
// brings its own allocation functions, nothing is replaced and the count stays 0.
#include <cstdlib>
#include <new>

#include "bench_util.h"

namespace {
thread_local std::uint64_t t_allocations = 0;
}  // namespace

std::uint64_t bench::thread_allocations() noexcept { return t_allocations; }

#ifndef __SANITIZE_ADDRESS__
void* operator new(std::size_t n) {
  ++t_allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#endif
