// A name-to-code table of a compressor (unit names or state names to short codes).
// Names are stored ASCII-lower-cased and looked up ignoring ASCII case; codes are kept
// byte for byte. Immutable after construction, so concurrent lookups are safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/bytes.h"

namespace vm {

// 'A'..'Z' become 'a'..'z'; every other byte, UTF-8 ones included, stays.
constexpr char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

class CodeMap {
 public:
  // Sets the code of `name`; a later call for the same name (ignoring case) wins.
  void assign(std::string_view name, std::string_view code);

  // The code of the name `head` followed by `tail`, ignoring ASCII case; null when absent.
  // Split in two so that a folded prefix ("k") and a symbol ("m") are looked up as one
  // name without joining them first. Allocates nothing in the steady state.
  [[nodiscard]] const std::string* find(std::string_view head,
                                        std::string_view tail = {}) const;

  [[nodiscard]] std::size_t size() const noexcept { return codes_.size(); }

 private:
  BytesMap<std::string> codes_;
  // Bit n is set when some key is n bytes long (bit 63: 63 bytes or more). Most texts
  // looked up ("m", "s", "kW") have a length no key has, and skip lower-casing and hashing.
  std::uint64_t name_lengths_ = 0;
};

// The mapped form of `head` + `tail`: its code when the map has one, else the text itself.
void append_mapped(std::string& out, const CodeMap& map, std::string_view head,
                   std::string_view tail = {});

}  // namespace vm
