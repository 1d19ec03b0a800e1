// The process-wide table of compressors by handle. Created on first use and never
// destroyed. Thread-safe: one mutex, held only for a single insertion, removal or lookup;
// handles come from an atomic counter (1, 2, 3, ...) and are never reused.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "compressor/fact_compressor.h"
#include "support/bytes.h"
#include "support/handle_table.h"

namespace vm {

// Names a compressor; 0 names none.
enum class CompressorHandle : std::uint64_t {};

// Parses `config`, registers the compressor and returns its new handle. A record that
// does not parse registers nothing and uses up no handle number.
[[nodiscard]] std::optional<CompressorHandle> create_compressor(ByteSpan config);

// Removes the handle; false when it is 0 or not registered. The compressor itself lives
// on until the last compression that acquired it lets go.
bool free_compressor(CompressorHandle handle);

// A new shared reference to the compressor registered under `handle`, or null. The
// caller uses it without any lock held.
[[nodiscard]] std::shared_ptr<const FactCompressor> acquire_compressor(CompressorHandle handle);

}  // namespace vm
