// Decomposition of a compact fact into what stays the same from fact to fact (the
// template signature) and what changes (the timestamp text and two texts per reading).
// A pure text operation that reads the segment structure without interpreting codes.
// Thread-safe; the caller owns the result and may reuse it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "signature/signature_format.h"

namespace vm {

// A fact with more readings than this does not decompose. Each reading costs tens of bytes
// in memory wherever the fact goes (value views, stored values, a JSON answer of four
// members), against three bytes of text at the least; the limit keeps every request's
// memory in proportion to its input.
inline constexpr std::size_t kMaxFactReadings = 65536;

struct DecomposedFact {
  std::string_view ts;                  // into the decomposed text
  std::string sig;
  std::vector<std::string_view> vals;   // into the decomposed text: "state.unit", value, ...
};

// Splits `text` (after dropping a routing prefix up to the first ";"). Fails only when
// there is no "|", no "." before the first "|", or more than kMaxFactReadings readings.
// Clears and reuses `out`'s buffers, so a steady stream of calls allocates nothing; buffers
// that a huge fact grew past kKeptScratchBytes are freed first.
[[nodiscard]] bool decompose(std::string_view text, DecomposedFact& out);

// Appends the record
//   u32 ts length, u32 sig length, u32 value count, ts, sig, count x (u32 length, bytes)
// (big-endian) of `text`'s decomposition. False, with `out` unchanged, when the text is
// not valid UTF-8, does not decompose, or a length or count exceeds 32 bits.
[[nodiscard]] bool append_decomposition_record(std::string_view text, std::string& out);

}  // namespace vm
