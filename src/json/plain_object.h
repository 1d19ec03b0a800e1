// A reader of the common shape of a JSON request, without building a document: one object
// of members whose keys and string values hold no escape, and whose values are strings,
// unsigned integers in plain digits, true, false or null. Anything else (an array, a
// nested value, an escape, a number with sign, fraction or exponent, a fault of any kind)
// is "not plain": the caller then reads the text with the general reader, which also
// decides whether the text is valid at all. So the plain reader never rejects a request;
// it only answers those it can prove it reads as the general reader does.
#pragma once

#include <cstdint>
#include <string_view>

namespace vm::json {

struct PlainValue {
  enum class Kind : std::uint8_t { string, uint, boolean, null } kind = Kind::null;
  std::string_view text;      // a string's bytes, between its quotes
  std::uint64_t number = 0;   // an unsigned integer's value
  bool flag = false;          // true or false
};

class PlainObject {
 public:
  enum class Step : std::uint8_t { member, end, not_plain };

  // False when the text is not plain from the start (not UTF-8, too long, no "{").
  [[nodiscard]] bool open(std::string_view text) noexcept;
  // The next member, the end of the object (with nothing but white space after it), or
  // the first thing that is not plain.
  [[nodiscard]] Step next(std::string_view& key, PlainValue& value) noexcept;

 private:
  [[nodiscard]] bool string(std::string_view& out) noexcept;
  [[nodiscard]] bool value(PlainValue& out) noexcept;
  void skip_space() noexcept;

  const char* p_ = nullptr;
  const char* end_ = nullptr;
  bool first_ = true;
};

}  // namespace vm::json
