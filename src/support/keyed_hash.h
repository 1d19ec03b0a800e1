// A hash keyed with a secret drawn once per process, for every map whose keys come from
// outside (signatures, device ids, unit and state names, context ids, file names). Without
// the key nobody can choose keys that fall into one bucket, so a flood of crafted keys costs
// what random keys cost. SipHash-2-4, as the sodium library provides it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

namespace vm {

// The keyed hash of the bytes of `text`.
[[nodiscard]] std::uint64_t keyed_hash_bytes(std::string_view text) noexcept;

// The keyed hash of a 64-bit number (its little-endian bytes).
[[nodiscard]] std::uint64_t keyed_hash_u64(std::uint64_t value) noexcept;

// Hashes text (transparently: a map keyed by std::string can be searched with a
// string_view), integers and enums keyed by the process's secret.
struct KeyedHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return keyed_hash_bytes(s); }
  template <class T>
    requires std::is_integral_v<T> || std::is_enum_v<T>
  std::size_t operator()(T value) const noexcept {
    return keyed_hash_u64(static_cast<std::uint64_t>(value));
  }
};

template <class K, class V>
using KeyedMap = std::unordered_map<K, V, KeyedHash, std::equal_to<>>;
template <class K>
using KeyedSet = std::unordered_set<K, KeyedHash, std::equal_to<>>;

}  // namespace vm
