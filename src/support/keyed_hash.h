// A hash keyed with secrets drawn once per process, for every map whose keys come from
// outside (signatures, device ids, unit and state names, context ids, file names). Without
// the key nobody can choose keys that fall into one bucket, so a flood of crafted keys costs
// what random keys cost.
// - Byte strings: SipHash-2-4 under a 128-bit key, as the sodium library provides it.
// - Numbers (ids of 32 and 64 bits): strongly universal multiply-add-shift hashing over
//   32-bit halves, under random 64-bit multipliers. Any two distinct numbers collide with
//   probability about 2^-32 per half over the choice of key, whatever numbers an outsider
//   picks; it costs a few multiplications where SipHash costs ~15 ns, and ids are hashed
//   several times per request.
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

struct NumberHashKey {
  std::uint64_t low[3];   // multipliers of the low and high halves, and the addend
  std::uint64_t high[3];  // the same for the upper 32 bits of the hash, drawn apart
};

// This process's key for numbers, drawn on first use.
[[nodiscard]] const NumberHashKey& number_hash_key() noexcept;

// The keyed hash of a 64-bit number: two independent 32-bit strongly universal hashes, one
// in each half.
[[nodiscard]] inline std::uint64_t keyed_hash_u64(std::uint64_t value) noexcept {
  static const NumberHashKey& key = number_hash_key();
  const std::uint64_t lo = value & 0xFFFFFFFFu, hi = value >> 32;
  const std::uint64_t a = (key.low[0] * lo + key.low[1] * hi + key.low[2]) >> 32;
  const std::uint64_t b = (key.high[0] * lo + key.high[1] * hi + key.high[2]) >> 32;
  return (b << 32) | a;
}

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
