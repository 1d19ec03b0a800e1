#include "compressor/code_map.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>

#include "support/keyed_hash.h"

namespace vm {
namespace {

constexpr std::uint32_t kEmpty = std::numeric_limits<std::uint32_t>::max();
// Names up to this long live in two 8-byte words.
constexpr std::size_t kWordName = 16;

constexpr std::uint64_t length_bit(std::size_t n) noexcept {
  return std::uint64_t{1} << (n < 63 ? n : 63);
}

// Up to 8 bytes at `p` as a little-endian word padded with zeros, without reading past them.
std::uint64_t load_short(const char* p, std::size_t n) noexcept {
  if (n >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
  }
  if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);  // overlaps `a` by 8 - n bytes, which are equal in both
    return std::uint64_t{a} | (std::uint64_t{b} << (8 * (n - 4)));
  }
  if (n == 0) return 0;
  const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
  return byte(0) | (byte(n / 2) << (8 * (n / 2))) | (byte(n - 1) << (8 * (n - 1)));
}

// ASCII lower case of eight bytes at once: 'A'..'Z' gain 0x20, every other byte stays.
std::uint64_t lower_word(std::uint64_t w) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  const std::uint64_t low7 = w & ~kHigh;
  const std::uint64_t at_least_a = low7 + (0x80 - 'A') * kOnes;  // high bit: byte >= 'A'
  const std::uint64_t above_z = low7 + (0x80 - 'Z' - 1) * kOnes;  // high bit: byte > 'Z'
  const std::uint64_t upper = at_least_a & ~above_z & ~w & kHigh;
  return w | (upper >> 2);
}

// Up to 16 bytes as a little-endian 128-bit number padded with zeros.
unsigned __int128 load_text(std::string_view text) noexcept {
  const std::size_t n = text.size();
  if (n <= 8) return load_short(text.data(), n);
  return load_short(text.data(), 8) | (static_cast<unsigned __int128>(load_short(text.data() + 8, n - 8)) << 64);
}

// The lower-cased bytes of `head` followed by `tail` (at most kWordName of them), as two
// little-endian words padded with zeros.
void lower_words(std::string_view head, std::string_view tail, std::uint64_t (&words)[2]) noexcept {
  unsigned __int128 bytes = load_text(head);
  if (!tail.empty()) bytes |= load_text(tail) << (8 * head.size());
  words[0] = lower_word(static_cast<std::uint64_t>(bytes));
  words[1] = head.size() + tail.size() > 8 ? lower_word(static_cast<std::uint64_t>(bytes >> 64)) : 0;
}

// Keyed: names come from configurations that outsiders may write, and a fixed hash would
// let them pick names that all probe the same slots.
std::uint64_t hash_words(const std::uint64_t (&words)[2], std::size_t n) noexcept {
  char bytes[17];
  std::memcpy(bytes, words, 16);
  bytes[16] = static_cast<char>(n);
  return keyed_hash_bytes(std::string_view(bytes, sizeof bytes));
}

std::uint64_t hash_name(std::string_view lower_name, const std::uint64_t (&words)[2]) noexcept {
  if (lower_name.size() <= kWordName) return hash_words(words, lower_name.size());
  return keyed_hash_bytes(lower_name);
}

std::string lower(std::string_view head, std::string_view tail) {
  std::string name;
  name.reserve(head.size() + tail.size());
  for (char c : head) name += ascii_lower(c);
  for (char c : tail) name += ascii_lower(c);
  return name;
}

}  // namespace

CodeMap::CodeMap(CodeMap&& other) noexcept
    : entries_(std::move(other.entries_)),
      slots_(std::move(other.slots_)),
      name_lengths_(other.name_lengths_),
      version_(other.version_) {
  other = CodeMap();
}

CodeMap& CodeMap::operator=(CodeMap&& other) noexcept {
  if (this != &other) {
    entries_ = std::move(other.entries_);
    slots_ = std::move(other.slots_);
    name_lengths_ = other.name_lengths_;
    version_ = other.version_;
    other.entries_.clear();
    other.slots_.clear();
    other.name_lengths_ = 0;
    other.version_ = 0;
  }
  return *this;
}

void CodeMap::assign(std::string_view name, std::string_view code) {
  static std::atomic<std::uint64_t> last_version{0};
  version_ = last_version.fetch_add(1, std::memory_order_relaxed) + 1;
  std::string key = lower(name, {});
  std::uint64_t words[2] = {0, 0};
  if (key.size() <= kWordName) lower_words(key, {}, words);
  const std::uint64_t hash = hash_name(key, words);
  if (!slots_.empty()) {
    if (const std::uint32_t i = slots_[slot_of(key.size(), words, hash, key)]; i != kEmpty) {
      entries_[i].code.assign(code);
      return;
    }
  }
  entries_.push_back({std::move(key), std::string(code), hash, {words[0], words[1]}});
  name_lengths_ |= length_bit(name.size());
  if (slots_.size() < 2 * entries_.size()) {
    slots_.assign(std::max<std::size_t>(8, slots_.size() * 2), kEmpty);
    for (std::uint32_t i = 0; i < entries_.size(); ++i) {
      const Entry& e = entries_[i];
      slots_[slot_of(e.name.size(), e.words, e.hash, e.name)] = i;
    }
  } else {
    const Entry& e = entries_.back();
    slots_[slot_of(e.name.size(), e.words, e.hash, e.name)] = static_cast<std::uint32_t>(entries_.size() - 1);
  }
}

std::size_t CodeMap::slot_of(std::size_t size, const std::uint64_t (&words)[2], std::uint64_t hash,
                             std::string_view long_name) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t i = slots_[slot];
    if (i == kEmpty) return slot;
    const Entry& e = entries_[i];
    if (e.hash != hash || e.name.size() != size) continue;
    if (size <= kWordName ? e.words[0] == words[0] && e.words[1] == words[1] : e.name == long_name) return slot;
  }
}

namespace {

// The lower-cased name in a per-thread buffer that keeps its capacity between lookups.
[[gnu::noinline]] std::string_view lower_long(std::string_view head, std::string_view tail) {
  thread_local std::string name;
  name.clear();
  for (char c : head) name += ascii_lower(c);
  for (char c : tail) name += ascii_lower(c);
  return name;
}

}  // namespace

const std::string* CodeMap::find(std::string_view head, std::string_view tail) const {
  const std::size_t n = head.size() + tail.size();
  if ((name_lengths_ & length_bit(n)) == 0) return nullptr;
  std::uint64_t words[2] = {0, 0};
  if (n > kWordName) {
    // A long key set in the configuration.
    const std::string_view name = lower_long(head, tail);
    const std::uint32_t i = slots_[slot_of(n, words, hash_name(name, words), name)];
    return i == kEmpty ? nullptr : &entries_[i].code;
  }
  if (n <= 8 && tail.empty()) {
    words[0] = lower_word(load_short(head.data(), n));  // most names: one word
  } else {
    lower_words(head, tail, words);
  }
  const std::uint64_t hash = hash_words(words, n);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t i = slots_[slot];
    if (i == kEmpty) return nullptr;
    const Entry& e = entries_[i];
    if (e.words[0] == words[0] && e.words[1] == words[1] && e.name.size() == n) return &e.code;
  }
}

void append_mapped(std::string& out, const CodeMap& map, std::string_view head,
                   std::string_view tail) {
  if (const std::string* code = map.find(head, tail)) {
    out += *code;
  } else {
    out += head;
    out += tail;
  }
}

}  // namespace vm
