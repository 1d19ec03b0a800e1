// The success answer of the decompress request: the members of a compact fact and the
// packet header summary under "__packet_meta__", written straight into compact JSON in
// ascending byte order of the keys (the order is fixed by the key names, so nothing is
// sorted at run time except reading numbers from 10 on). Pure function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "requests/compact_fact_json.h"
#include "wire/packet_header.h"

namespace vm {

// Fills `order` with the reading numbers 1 to `count` in the byte order of their keys, as
// every answer writes them: "s10_" comes before "s1_" and "s2_".
void order_readings_by_key(std::size_t count, std::vector<std::uint32_t>& order);

// Appends {"__packet_meta__":{...},"geohash":...,"id":...,...,"url":...} to `out`, the
// reading values at `precision` (reading_value_at).
void append_decompress_answer(const CompactFactMembers& fact, const HeaderInfo& header, std::string& out,
                              int precision = kLibraryPrecision);

// The same for a fact given as its compact text (without routing prefix); false, with
// nothing appended, when the text has too many readings to answer within memory.
[[nodiscard]] bool append_decompress_answer_of_text(std::string_view text, const HeaderInfo& header, std::string& out,
                                                    int precision = kLibraryPrecision);

}  // namespace vm
