// A name-to-code table of a compressor (unit names or state names to short codes).
// Names are stored ASCII-lower-cased and looked up ignoring ASCII case; codes are kept
// byte for byte. Immutable after construction, so concurrent lookups are safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vm {

// 'A'..'Z' become 'a'..'z'; every other byte, UTF-8 ones included, stays.
constexpr char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

class CodeMap {
 public:
  CodeMap() = default;
  CodeMap(const CodeMap&) = default;
  CodeMap& operator=(const CodeMap&) = default;
  // A moved-from map is left empty (version 0).
  CodeMap(CodeMap&& other) noexcept;
  CodeMap& operator=(CodeMap&& other) noexcept;

  // Sets the code of `name`; a later call for the same name (ignoring case) wins.
  void assign(std::string_view name, std::string_view code);

  // The code of the name `head` followed by `tail`, ignoring ASCII case; null when absent.
  // Split in two so that a folded prefix ("k") and a symbol ("m") are looked up as one
  // name without joining them first. Allocates nothing in the steady state.
  [[nodiscard]] const std::string* find(std::string_view head,
                                        std::string_view tail = {}) const;

  [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }

  // Names the map's content for caches of what is derived from it: every assign() gives a
  // number no other map in the process has had, copies share it, and every empty map has 0.
  [[nodiscard]] std::uint64_t version() const noexcept { return version_; }

 private:
  struct Entry {
    std::string name;  // lower-cased
    std::string code;
    std::uint64_t hash;
    std::uint64_t words[2];  // a name of up to 16 bytes, little-endian, zero-padded
  };

  // The slot holding the entry of a lower-cased name of `size` bytes, given by `words` when
  // it is short and by `long_name` otherwise, or the free slot where it would go.
  [[nodiscard]] std::size_t slot_of(std::size_t size, const std::uint64_t (&words)[2], std::uint64_t hash,
                                    std::string_view long_name) const noexcept;

  std::vector<Entry> entries_;
  // Open addressing over entries_, a power of two at least twice their count; kEmpty marks
  // a free slot. A short name (16 bytes at most, as unit and state names are) is lower-cased
  // straight into two words, hashed from them and compared by them, without a copy.
  std::vector<std::uint32_t> slots_;
  // Bit n is set when some key is n bytes long (bit 63: 63 bytes or more). Most texts
  // looked up ("m", "s", "kW") have a length no key has, and skip lower-casing and hashing.
  std::uint64_t name_lengths_ = 0;
  std::uint64_t version_ = 0;
};

// The mapped form of `head` + `tail`: its code when the map has one, else the text itself.
void append_mapped(std::string& out, const CodeMap& map, std::string_view head,
                   std::string_view tail = {});

}  // namespace vm
