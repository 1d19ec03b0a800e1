// JSON reading: parses one JSON text into a read-only document with a simdjson DOM parser
// that is reused per thread. A Reader leases a parser for its lifetime; elements and
// string views taken from a parse stay valid until the Reader parses again or dies.
// A Reader is not shared between threads and must die on the thread that made it.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include <simdjson.h>

namespace vm::json {

using Element = simdjson::dom::element;

// Deepest nesting of arrays and objects a document may have ([[1]] is two levels).
inline constexpr std::size_t kMaxDepth = 128;
// Longest text the parser accepts (4 GiB - 1).
inline constexpr std::size_t kMaxTextSize = simdjson::SIMDJSON_MAXSIZE_BYTES;

class Reader {
 public:
  Reader();
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Parses `text` as exactly one JSON value with only JSON white space (space, tab, line
  // feed, carriage return) around it. nullopt on any fault: syntax, invalid UTF-8, nesting
  // deeper than kMaxDepth, or a number outside what the parser can hold.
  [[nodiscard]] std::optional<Element> parse(std::string_view text) noexcept;

 private:
  simdjson::dom::parser* parser_;
};

}  // namespace vm::json
