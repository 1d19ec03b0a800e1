// The replaced operators behind allocation_meter.h; kept out of line so that no call site
// sees malloc and free pair with new and delete.
#include "allocation_meter.h"

#ifndef VM_ALLOCATION_METER_OFF

void* operator new(std::size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  meter::raise(meter::largest, n);
  const std::size_t now = meter::live.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
  meter::raise(meter::peak, now);
  return p;
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  meter::live.fetch_sub(malloc_usable_size(p));
  std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

#endif  // VM_ALLOCATION_METER_OFF
