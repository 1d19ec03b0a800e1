// The run (and relay) request: one compact fact in a JSON request becomes one finished
// wire packet, fused against the templates of the request's context. Thread-safe: the
// context's lock is held only while its templates are loaded, encoded and saved.
#pragma once

#include <string>
#include <string_view>

#include "support/answer_room.h"

namespace vm {

// Appends the answer to `out`: the packet's bytes, or a short JSON error text. Returns
// false (appending nothing) for the failures that have no error text. A packet that
// `room` does not take is not handed out: its template's next packet travels whole.
[[nodiscard]] bool fusion_run(std::string_view request, AnswerRoom room, std::string& out);

}  // namespace vm
