// The members of a heartbeat's or diff's fact read straight from the template's signature,
// the timestamp text and the values, without writing the fact's text and reading it back.
// The segment layout of a signature is worked out once and kept per thread; a packet then
// only places its values. Used where the layout provably gives the same members as
// reading the rebuilt text would; everywhere else it declines and the caller reads the text.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "requests/compact_fact_json.h"

namespace vm {

// Fills `out` exactly as read_compact_fact fills it for the text that rebuild_fact makes of
// `sig`, `ts_text` and `values`, once a routing prefix is removed (read as the empty text
// when not valid UTF-8). False, with `out` unspecified, when it cannot vouch for that: a
// signature that is not valid UTF-8, cannot be rebuilt or holds too many segments, or a
// value that is not ASCII or holds "|", "@" or ";". `layout_key` names the signature's
// slot in the per-thread cache (a device and template number); a key met with another
// signature or value count is worked out again. Views in `out` stay valid until the next
// call on this thread.
[[nodiscard]] bool direct_fact_members(std::uint64_t layout_key, std::string_view sig, std::string_view ts_text,
                                       std::span<const std::string> values, CompactFactMembers& out);

}  // namespace vm
