// The JSON view of a compact fact: node id and state, raw timestamp, four members per
// reading, and the geohash, url and msg trailers. A tolerant reader: it never fails and
// skips what it cannot read. Codes stay codes; values are read at a fixed scale of 10000.
// Pure function.
#pragma once

#include <string_view>

#include "json/object_builder.h"

namespace vm {

// Adds the members read from `text` (valid UTF-8, routing prefix already removed) to `out`.
void compact_fact_to_json(std::string_view text, json::ObjectBuilder& out);

}  // namespace vm
