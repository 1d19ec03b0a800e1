// Internal faults: a broken invariant ends the process with a diagnostic instead of
// returning, so no export ever leaves a lock held or hands back half-made state.
// Thread-safe; never returns.
#pragma once

namespace vm {

[[noreturn]] void fatal(const char* what, const char* file, int line) noexcept;

}  // namespace vm

#define VM_CHECK(cond)                                        \
  do {                                                        \
    if (!(cond)) [[unlikely]]                                 \
      ::vm::fatal("invariant failed: " #cond, __FILE__, __LINE__); \
  } while (0)
