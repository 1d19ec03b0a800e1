// The binary batch: compresses, fuses and frames many facts in one call, under one lock
// of the context so that the facts of a batch are fused in order. Thread-safe (takes the
// compressor table, context cache and context locks one after another, never two at once).
#pragma once

#include <string>

#include "support/answer_room.h"
#include "support/bytes.h"

namespace vm {

// Appends the batch answer to `out`; false when the whole batch fails (no answer at all).
// When `room` does not take the answer none of its packets is handed out: the next packet
// of each of their templates travels whole.
[[nodiscard]] bool run_batch(ByteSpan input, AnswerRoom room, std::string& out);

}  // namespace vm
