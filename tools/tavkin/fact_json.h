// Reading the tool's JSON inputs with simdjson: one fact per JSON Lines entry, and a
// compressor configuration. Strict: unknown or repeated members and wrong types are
// errors with a message that names the member. One parser per reader; not thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <simdjson.h>

#include "fact.h"

namespace tavkin {

template <typename T>
struct Parsed {
  std::optional<T> value;
  std::string error;  // set when value is empty
};

class JsonReader {
 public:
  // {"aid"?, "id", "s", "timestamp", "readings": [{"id","s","v","u"}...], "geohash"?,
  //  "url"?, "msg"?}; null stands for an absent optional member.
  [[nodiscard]] Parsed<Fact> fact(std::string_view line);

  // {"precision"?, "ms_timestamps"?, "units"?: {name: code}, "states"?: {name: code}}
  [[nodiscard]] Parsed<CompressorSettings> settings(std::string_view text);

 private:
  simdjson::dom::parser parser_;
};

}  // namespace tavkin
