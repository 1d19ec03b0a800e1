// The JSON view of a compact fact: node id and state, raw timestamp, four members per
// reading, and the geohash, url and msg trailers. A tolerant reader: it never fails and
// skips what it cannot read. Codes stay codes; values are read at a fixed scale of 10000.
// Pure functions; a CompactFactMembers belongs to one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compressor/decompose.h"
#include "json/object_builder.h"

namespace vm {

struct CompactFactReading {
  std::string_view id, state, unit;
  double value;       // the Base62 value divided by 10000
  std::int64_t code;  // the Base62 value itself (0 when unreadable), for hosts that scale it otherwise
};

// The precision answers read values at when none is asked for: ten-thousandths.
inline constexpr int kLibraryPrecision = -1;
inline constexpr int kMaxPrecision = 18;

// The reading's value as the sender meant it, for a sender that compressed with
// `precision` (0 to 18): its code divided by 10^precision, one correctly rounded division,
// so 21.5 sent at precision 2 comes back as 21.5. kLibraryPrecision gives `value`.
[[nodiscard]] double reading_value_at(const CompactFactReading& reading, int precision) noexcept;

// The members that the text yields, each present only when its part was readable; a part
// met twice counts the second time. Views point into the text or into the object's own
// buffers, so reusing one object per thread allocates nothing once warm.
struct CompactFactMembers {
  std::optional<std::string_view> id, s;   // "id", "s": both or neither
  std::optional<std::uint64_t> t_raw;      // "t_raw"
  std::vector<CompactFactReading> readings;  // "s1_id" ... in text order, numbered from 1
  std::optional<std::string_view> geohash, url, msg;

  std::string url_text, msg_text;  // decoded trailers
  std::string scratch;
};

// Reads `text` (valid UTF-8, routing prefix already removed) into `out`, replacing what it
// held. False, with no readings kept, when the text has more than kMaxFactReadings
// readings: their answer would take many times the text's size in memory.
bool read_compact_fact(std::string_view text, CompactFactMembers& out);

// The steps of read_compact_fact, for readers that find the segments themselves: forget
// every member; read one "|" segment (the first is the header); read the text after "@"
// up to the next "@". Views point into the segment or into `out`'s buffers.
void clear_compact_fact(CompactFactMembers& out) noexcept;
void add_fact_segment(std::string_view segment, bool header, CompactFactMembers& out);
void add_fact_msg(std::string_view encoded, CompactFactMembers& out);

// A reading's value text as the reader takes it (signed Base62, any fault read as 0), and
// the scale its value is read at.
[[nodiscard]] std::int64_t read_fact_value_code(std::string_view v) noexcept;
inline constexpr double kFactValueScale = 10000.0;

// Adds the members read from `text` (valid UTF-8, routing prefix already removed) to `out`;
// a text with too many readings adds none of its readings.
void compact_fact_to_json(std::string_view text, json::ObjectBuilder& out);

}  // namespace vm
