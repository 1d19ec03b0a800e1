#include "support/random_bytes.h"

#include <sodium.h>

#include "support/fault.h"

namespace vm {

void random_bytes(void* out, std::size_t size) noexcept {
  static const bool ready = [] {
    VM_CHECK(sodium_init() >= 0);  // fails only without a source of random bytes
    return true;
  }();
  (void)ready;
  randombytes_buf(out, size);
}

}  // namespace vm
