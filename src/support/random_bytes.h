// Bytes from the system's cryptographic random source, for secrets nobody may predict
// (hash keys, names of temporary files). Thread-safe.
#pragma once

#include <cstddef>

namespace vm {

void random_bytes(void* out, std::size_t size) noexcept;

}  // namespace vm
