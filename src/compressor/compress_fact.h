// Compression of a fact record into its compact text, one line of the form
//   id "." state "." timestamp "|"  then per reading  id ">" state "." unit ":" value "|"
//   then "&" geohash "|", "#" base64url(url without "https://") "|", "@" base64url(msg)
// with names mapped to codes, units standardized and values in Base62 at the
// compressor's precision. No escaping: identifiers and the geohash are copied as they are.
// Reads only the immutable compressor and the record; safe on any thread.
#pragma once

#include <cstdint>
#include <string>

#include "compressor/compressor_table.h"
#include "compressor/fact_compressor.h"
#include "compressor/fact_layout.h"
#include "support/bytes.h"

namespace vm {

// Appends the compact text of `record` to `out`, which may already hold a prefix (such as
// a routing prefix "123;"). On a malformed record returns false and leaves `out` as it
// was. Allocates nothing beyond the growth of `out`.
[[nodiscard]] bool compress_fact(const FactCompressor& compressor, ByteSpan record,
                                 std::string& out);

// The same, recording in `layout` where the parts of the text went (for
// decompose_written).
[[nodiscard]] bool compress_fact(const FactCompressor& compressor, ByteSpan record, std::string& out,
                                 FactLayout& layout);

// The same with the compressor registered under `handle`, held by its own reference for
// the whole compression (freeing the handle meanwhile does not disturb it). False also
// when the handle is not registered.
[[nodiscard]] bool compress_fact_with_handle(CompressorHandle handle, ByteSpan record,
                                             std::string& out);

}  // namespace vm
