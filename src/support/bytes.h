// Byte-string helpers shared by every subsystem: maps keyed by raw byte strings with
// lookup by std::string_view, and the conversion between byte spans and text views.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "support/keyed_hash.h"

namespace vm {

using ByteSpan = std::span<const std::uint8_t>;

inline std::string_view as_text(ByteSpan bytes) noexcept {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}
inline ByteSpan as_bytes(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Transparent hash so a map keyed by std::string can be searched with a string_view
// without building a temporary string. Keyed: byte-string keys come from outside.
using BytesHash = KeyedHash;

template <class V>
using BytesMap = std::unordered_map<std::string, V, BytesHash, std::equal_to<>>;

}  // namespace vm
