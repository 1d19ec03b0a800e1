// JSON text writing in the library's one format: escaped strings, decimal integers, doubles
// in the shortest form that reads back, and the pretty layout of registry files. Everything
// appends to a caller's string, so one buffer can be reused. Pure functions; a PrettyWriter
// belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vm::json {

// A quoted string. Bytes are written as they are (UTF-8 and 0x7F included) except '"' and
// '\\', which get a backslash, the control bytes \b \t \n \f \r, and the other bytes below
// 0x20, which become \u00xx with lower-case hex digits.
void append_string(std::string& out, std::string_view text);

void append_int(std::string& out, std::int64_t value);
void append_uint(std::string& out, std::uint64_t value);

// The fewest significant digits that read back to the same double. Written positionally
// when the decimal exponent e of the first digit is in [-5, 15] (integral values end in
// ".0": 10.0, 1000000000000000.0; small ones start "0.": 0.00001), in exponent form
// otherwise (1e+16, 1.5e-7). Zero is 0.0 or -0.0; NaN and infinities are null.
void append_double(std::string& out, double value);

// The same texts written through a pointer, for builders that size their buffer once.
// quoted_size() is the length append_string() would add; write_quoted() needs that much
// room and the write_* number functions kMaxNumberSize; each returns the end of its text.
inline constexpr std::size_t kMaxNumberSize = 32;
[[nodiscard]] std::size_t quoted_size(std::string_view text) noexcept;
char* write_quoted(char* out, std::string_view text, std::size_t quoted_size) noexcept;
// The quoted text at `out`, which has room for string_room(text) bytes; returns its end.
// Texts that need no escape (the usual case) are copied without measuring them first.
[[nodiscard]] std::size_t string_room(std::string_view text) noexcept;
char* write_string(char* out, std::string_view text) noexcept;
char* write_int(char* out, std::int64_t value) noexcept;
char* write_uint(char* out, std::uint64_t value) noexcept;
char* write_double(char* out, double value) noexcept;

// Streams one value in the pretty layout: a member or array element per line, indented two
// spaces per level, "key": value, empty containers as {} and [], no final line break.
// Members are written in the order they are given. Call key() before each object member's
// value; nesting is limited to 63 levels.
class PrettyWriter {
 public:
  explicit PrettyWriter(std::string& out) noexcept : out_(out) {}

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  void key(std::string_view key);
  void string(std::string_view value);
  void uint(std::uint64_t value);

 private:
  void before_value();
  void start_line();
  void open(char bracket);
  void close(char bracket);

  std::string& out_;
  std::uint64_t nonempty_levels_ = 0;  // bit d: the container at depth d has members
  unsigned depth_ = 0;
  bool after_key_ = false;
};

}  // namespace vm::json
