// The received fact as a Python dict: the same members, values and types as the JSON
// object of the decompress answer once read by json.loads, in the same order
// ("__packet_meta__" first, then the fact's members in ascending byte order of their keys).
// With the GIL held.
#pragma once

#include <string_view>

#include "python_api.h"
#include "requests/compact_fact_json.h"
#include "wire/packet_header.h"

namespace vm::py {

// A new dict for the compact fact `text` (routing prefix removed) carried by a packet with
// `header`, or null with an exception set. Reading values are the library's view (the
// integer over 10^4) when `precision` is negative, else the integer over 10^precision.
[[nodiscard]] PyObject* fact_dict(std::string_view text, const HeaderInfo& header, int precision);

// The same for a fact already read into its members.
[[nodiscard]] PyObject* fact_members_dict(const CompactFactMembers& fact, const HeaderInfo& header, int precision);

}  // namespace vm::py
