// Where compression put the parts of a compact text: the offsets of its separators, as the
// writer knows them. A sender takes the signature and the values from them instead of
// searching the text again for its separators.
#pragma once

#include <cstddef>
#include <vector>

namespace vm {

struct ReadingLayout {
  std::size_t start;  // the reading's id
  std::size_t gt;     // its ">"
  std::size_t colon;  // the ":" before its value
  std::size_t bar;    // its closing "|"
};

struct FactLayout {
  std::size_t start = 0;     // the fact's id (after any prefix already in the string)
  std::size_t ts_dot = 0;    // the "." before the timestamp code
  std::size_t header_bar = 0;
  std::vector<ReadingLayout> readings;
  std::size_t trailers = 0;  // geohash, url and msg segments, up to the end of the text
  std::size_t geohash = 0;   // bytes of the geohash (after its "&"), 0 without one
  bool msg = false;          // the text ends with the msg segment, which has no closing bar

  void clear() noexcept { readings.clear(); }
};

}  // namespace vm
