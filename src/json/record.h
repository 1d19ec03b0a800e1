// Typed records read from JSON: a record type declares its fields once, as a constexpr
// Record of (key, member or reader) pairs, and is then read either from an object (members
// by key, in any order) or from an array (field values in declaration order).
// Header-only and allocation-free; string fields are views into the Reader's document.
#pragma once

#include <cstddef>
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "json/json_reader.h"
#include "json/plain_object.h"

namespace vm::json {

// Value readers, chosen by the type of the field's member. Each returns false when the JSON
// value has another type or does not fit.
//   std::uint64_t, std::uint32_t: an integer without fraction or exponent, 0 up to the
//     type's maximum ("1.0", "1e2", "-1" and 4294967296 for a u32 are refused);
//   double: any number, integer or not;
//   std::string_view: a string; bool: true or false;
//   std::optional<T>: null (leaves it empty) or a T.
[[nodiscard]] inline bool read_value(Element value, std::uint64_t& out) noexcept {
  return value.get_uint64().get(out) == simdjson::SUCCESS;
}

[[nodiscard]] inline bool read_value(Element value, std::uint32_t& out) noexcept {
  std::uint64_t wide = 0;
  if (value.get_uint64().get(wide) != simdjson::SUCCESS || wide > UINT32_MAX) return false;
  out = static_cast<std::uint32_t>(wide);
  return true;
}

[[nodiscard]] inline bool read_value(Element value, double& out) noexcept {
  return value.get_double().get(out) == simdjson::SUCCESS;
}

[[nodiscard]] inline bool read_value(Element value, std::string_view& out) noexcept {
  return value.get_string().get(out) == simdjson::SUCCESS;
}

[[nodiscard]] inline bool read_value(Element value, bool& out) noexcept {
  return value.get_bool().get(out) == simdjson::SUCCESS;
}

template <class T>
[[nodiscard]] bool read_value(Element value, std::optional<T>& out) noexcept {
  if (value.is_null()) {
    out.reset();
    return true;
  }
  T inner{};
  if (!read_value(value, inner)) return false;
  out = inner;
  return true;
}

// The same from a plain member value (see plain_object.h); false also where the general
// reader might decide otherwise.
[[nodiscard]] inline bool read_plain_value(const PlainValue& v, std::uint64_t& out) noexcept {
  if (v.kind != PlainValue::Kind::uint) return false;
  out = v.number;
  return true;
}

[[nodiscard]] inline bool read_plain_value(const PlainValue& v, std::uint32_t& out) noexcept {
  if (v.kind != PlainValue::Kind::uint || v.number > UINT32_MAX) return false;
  out = static_cast<std::uint32_t>(v.number);
  return true;
}

[[nodiscard]] inline bool read_plain_value(const PlainValue& v, double& out) noexcept {
  if (v.kind != PlainValue::Kind::uint) return false;
  out = static_cast<double>(v.number);
  return true;
}

[[nodiscard]] inline bool read_plain_value(const PlainValue& v, std::string_view& out) noexcept {
  if (v.kind != PlainValue::Kind::string) return false;
  out = v.text;
  return true;
}

[[nodiscard]] inline bool read_plain_value(const PlainValue& v, bool& out) noexcept {
  if (v.kind != PlainValue::Kind::boolean) return false;
  out = v.flag;
  return true;
}

template <class T>
[[nodiscard]] bool read_plain_value(const PlainValue& v, std::optional<T>& out) noexcept {
  if (v.kind == PlainValue::Kind::null) {
    out.reset();
    return true;
  }
  T inner{};
  if (!read_plain_value(v, inner)) return false;
  out = inner;
  return true;
}

enum class Presence : std::uint8_t { optional, required };

// Which repeated keys reject an object: only those that name a field (files), or any key
// at all (requests).
enum class RepeatedKeys : std::uint8_t { named_fields, any };

// True when two keys of `keys` are equal. Sorts `keys`.
[[nodiscard]] inline bool has_repeat(std::span<std::string_view> keys) {
  if (keys.size() < 2) return false;
  std::sort(keys.begin(), keys.end());
  return std::adjacent_find(keys.begin(), keys.end()) != keys.end();
}

// A field stored in member `member` of record type R, read by read_value.
template <class R, class M>
struct MemberField {
  using record_type = R;
  std::string_view key;
  M R::*member;
  Presence presence;

  [[nodiscard]] bool read(Element value, R& out) const noexcept { return read_value(value, out.*member); }
  [[nodiscard]] bool read_plain(const PlainValue& value, R& out) const noexcept {
    return read_plain_value(value, out.*member);
  }
};

// A field read by a function of its own (nested records, maps, arrays).
template <class R>
struct CustomField {
  using record_type = R;
  std::string_view key;
  bool (*reader)(Element value, R& out);
  Presence presence;

  [[nodiscard]] bool read(Element value, R& out) const { return reader(value, out); }
  // Nested records, maps and arrays are never plain.
  [[nodiscard]] bool read_plain(const PlainValue&, R&) const noexcept { return false; }
};

// An optional field keeps the member's default when absent; a required one must be given.
template <class R, class M>
constexpr MemberField<R, M> field(std::string_view key, M R::*member) noexcept {
  return {key, member, Presence::optional};
}
template <class R, class M>
constexpr MemberField<R, M> required(std::string_view key, M R::*member) noexcept {
  return {key, member, Presence::required};
}
template <class R>
constexpr CustomField<R> field(std::string_view key, bool (*reader)(Element, R&)) noexcept {
  return {key, reader, Presence::optional};
}
template <class R>
constexpr CustomField<R> required(std::string_view key, bool (*reader)(Element, R&)) noexcept {
  return {key, reader, Presence::required};
}

// The fields of record type R. Reading rejects the record when the value is neither an
// object nor an array, when a field's key occurs twice (any key, after any_key_once()),
// when a field's value has the wrong type, when a required field is missing, or when an
// array holds more values than there are fields. Keys that name no field are skipped with
// their values, whatever they hold.
template <class R, class... F>
class Record {
  static_assert(sizeof...(F) >= 1 && sizeof...(F) <= 32, "a record has 1 to 32 fields");

 public:
  constexpr explicit Record(F... fields) noexcept : fields_(fields...) {
    std::uint32_t bit = 1;
    for (Presence p : {fields.presence...}) {
      if (p == Presence::required) required_ |= bit;
      bit <<= 1;
    }
  }

  // The same record, rejecting an object in which any key, named or not, occurs twice.
  [[nodiscard]] constexpr Record any_key_once() const noexcept {
    Record strict = *this;
    strict.repeated_ = RepeatedKeys::any;
    return strict;
  }

  // Fills the fields of `out` that the value gives; `out` keeps its defaults for the rest.
  // On failure `out` may hold some of the fields read before the fault.
  [[nodiscard]] bool read(Element value, R& out) const {
    std::uint32_t seen = 0;
    simdjson::dom::object object;
    simdjson::dom::array array;
    if (value.get_object().get(object) == simdjson::SUCCESS) {
      // Keys that name no field, kept to find a repeat among them; a named key never
      // equals one of them.
      std::array<std::string_view, 8> others;
      std::size_t other_count = 0;
      for (simdjson::dom::key_value_pair member : object) {
        const int index = index_of(member.key, Indices{});
        if (index < 0) {
          if (repeated_ == RepeatedKeys::any && other_count++ < others.size())
            others[other_count - 1] = member.key;
          continue;
        }
        const std::uint32_t bit = std::uint32_t{1} << index;
        if (seen & bit) return false;
        seen |= bit;
        if (!read_at(static_cast<std::size_t>(index), member.value, out, Indices{})) return false;
      }
      if (other_count <= others.size()) {
        if (has_repeat(std::span(others.data(), other_count))) return false;
      } else {
        // Many unknown keys: rare enough to gather them all on the heap.
        std::vector<std::string_view> all;
        for (simdjson::dom::key_value_pair member : object)
          if (index_of(member.key, Indices{}) < 0) all.push_back(member.key);
        if (has_repeat(all)) return false;
      }
    } else if (value.get_array().get(array) == simdjson::SUCCESS) {
      std::size_t index = 0;
      for (Element item : array) {
        if (index == sizeof...(F)) return false;
        if (!read_at(index, item, out, Indices{})) return false;
        seen |= std::uint32_t{1} << index;
        ++index;
      }
    } else {
      return false;
    }
    return (required_ & ~seen) == 0;
  }

  // Reads a plain object text (plain_object.h) into `out`: true when the text is plain and
  // the general reader would read it into the same fields; false when it must be asked
  // (the text may be plain and invalid, or valid and not plain). `out` may then hold some
  // fields.
  [[nodiscard]] bool read_plain(std::string_view text, R& out) const noexcept {
    PlainObject object;
    if (!object.open(text)) return false;
    std::uint32_t seen = 0;
    std::array<std::string_view, 8> others;
    std::size_t other_count = 0;
    std::string_view key;
    PlainValue value;
    for (;;) {
      const PlainObject::Step step = object.next(key, value);
      if (step == PlainObject::Step::end) break;
      if (step == PlainObject::Step::not_plain) return false;
      const int index = index_of(key, Indices{});
      if (index < 0) {
        if (repeated_ == RepeatedKeys::any) {
          if (other_count == others.size()) return false;
          others[other_count++] = key;
        }
        continue;
      }
      const std::uint32_t bit = std::uint32_t{1} << index;
      if (seen & bit) return false;
      seen |= bit;
      if (!read_plain_at(static_cast<std::size_t>(index), value, out, Indices{})) return false;
    }
    return (required_ & ~seen) == 0 && !has_repeat(std::span(others.data(), other_count));
  }

 private:
  using Indices = std::index_sequence_for<F...>;

  template <std::size_t... I>
  int index_of(std::string_view key, std::index_sequence<I...>) const noexcept {
    int found = -1;
    (void)((std::get<I>(fields_).key == key ? (found = static_cast<int>(I), true) : false) || ...);
    return found;
  }

  template <std::size_t... I>
  bool read_at(std::size_t index, Element value, R& out, std::index_sequence<I...>) const {
    bool ok = false;
    (void)((index == I ? (ok = std::get<I>(fields_).read(value, out), true) : false) || ...);
    return ok;
  }

  template <std::size_t... I>
  bool read_plain_at(std::size_t index, const PlainValue& value, R& out, std::index_sequence<I...>) const noexcept {
    bool ok = false;
    (void)((index == I ? (ok = std::get<I>(fields_).read_plain(value, out), true) : false) || ...);
    return ok;
  }

  std::tuple<F...> fields_;
  std::uint32_t required_ = 0;
  RepeatedKeys repeated_ = RepeatedKeys::named_fields;
};

template <class F0, class... F>
Record(F0, F...) -> Record<typename F0::record_type, F0, F...>;

// Parses `text` with `reader` and reads it as a record; string views point into the
// reader's document.
template <class R, class... F>
[[nodiscard]] std::optional<R> read_record_parsed(Reader& reader, std::string_view text,
                                                  const Record<R, F...>& record) {
  const std::optional<Element> root = reader.parse(text);
  if (!root) return std::nullopt;
  std::optional<R> out{std::in_place};
  if (!record.read(*root, *out)) return std::nullopt;
  return out;
}

// Reads `text` as a record: directly when it has the plain shape of a request, otherwise
// parsed with `reader`. The record's string views point into `text` or into the reader's
// document.
template <class R, class... F>
[[nodiscard]] std::optional<R> read_record(Reader& reader, std::string_view text,
                                           const Record<R, F...>& record) {
  {
    std::optional<R> plain{std::in_place};
    if (record.read_plain(text, *plain)) return plain;
  }
  return read_record_parsed(reader, text, record);
}

}  // namespace vm::json
