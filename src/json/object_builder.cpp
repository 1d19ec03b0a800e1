#include "json/object_builder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "json/json_writer.h"
#include "support/fault.h"

namespace vm::json {
namespace {

// Answers hold a few dozen members; their order is sorted on the stack.
constexpr std::size_t kStackMembers = 64;
// Strings up to this long are given room for the worst escaping (6 bytes per byte) instead
// of being measured first.
constexpr std::size_t kUnmeasuredString = 256;

constexpr bool escaped_byte(unsigned char b) noexcept { return (b < 0x20) | (b == '"') | (b == '\\'); }

struct KeyInfo {
  std::uint64_t prefix;  // first 8 bytes, big-endian, zero-padded
  bool escaped;          // some byte is written escaped
};

// Both in one pass over the key, which is usually a few bytes.
KeyInfo key_info(std::string_view key) noexcept {
  std::uint64_t prefix = 0;
  bool escaped = false;
  const std::size_t head = std::min<std::size_t>(key.size(), 8);
  for (std::size_t i = 0; i < head; ++i) {
    const auto b = static_cast<unsigned char>(key[i]);
    prefix |= std::uint64_t{b} << (56 - 8 * i);
    escaped |= escaped_byte(b);
  }
  for (std::size_t i = head; i < key.size(); ++i) escaped |= escaped_byte(static_cast<unsigned char>(key[i]));
  return {prefix, escaped};
}

// Whether any byte of `text` is written escaped.
bool needs_escape(std::string_view text) noexcept {
  bool any = false;
  for (char c : text) any |= escaped_byte(static_cast<unsigned char>(c));
  return any;
}

// The quoted text at `w`, which has room for quoted_size(text) bytes.
char* quote(char* w, std::string_view text, bool escaped) noexcept {
  if (escaped) return write_quoted(w, text, quoted_size(text));
  *w++ = '"';
  if (!text.empty()) std::memcpy(w, text.data(), text.size());  // an empty view may be null
  w += text.size();
  *w++ = '"';
  return w;
}

// Room that the quoted form of `text` can need at most, without reading it when it is short.
std::size_t quoted_bound(std::string_view text) noexcept {
  return text.size() <= kUnmeasuredString ? 6 * text.size() + 2 : quoted_size(text);
}

// The room a member needs at most, besides its value: raw key, quoted key, colon.
std::size_t key_room(std::string_view key) noexcept { return key.size() + quoted_bound(key) + 1; }

constexpr std::uint32_t narrow(std::size_t n) noexcept { return static_cast<std::uint32_t>(n); }

}  // namespace

void ObjectBuilder::grow(std::size_t n) {
  const std::size_t capacity = std::max<std::size_t>({size_ + n, 2 * capacity_, 1024});
  std::unique_ptr<char[]> bigger(new char[capacity]);
  if (size_ != 0) std::memcpy(bigger.get(), text_.get(), size_);
  text_ = std::move(bigger);
  capacity_ = capacity;
}

char* ObjectBuilder::room(std::size_t n) {
  // Offsets are kept in 32 bits.
  VM_CHECK(n < std::numeric_limits<std::uint32_t>::max() - size_);
  if (capacity_ - size_ < n) grow(n);
  return text_.get() + size_;
}

char* ObjectBuilder::begin_member(char* w, std::string_view key) {
  const KeyInfo info = key_info(key);
  const std::size_t key_at = static_cast<std::size_t>(w - text_.get());
  if (info.escaped) {
    // The raw key is kept before the member for ordering; unescaped, it is inside the chunk.
    std::memcpy(w, key.data(), key.size());
    w += key.size();
  }
  const std::size_t chunk_at = static_cast<std::size_t>(w - text_.get());
  members_.push_back(Member{info.prefix, narrow(info.escaped ? key_at : chunk_at + 1), narrow(key.size()),
                            narrow(chunk_at), 0});
  w = quote(w, key, info.escaped);
  *w++ = ':';
  return w;
}

void ObjectBuilder::commit(char* end) noexcept {
  size_ = static_cast<std::size_t>(end - text_.get());
  Member& m = members_.back();
  m.chunk_size = narrow(size_ - m.chunk_at);
}

void ObjectBuilder::add_text(std::string_view key, std::string_view value_text) {
  char* w = begin_member(room(key_room(key) + value_text.size()), key);
  std::memcpy(w, value_text.data(), value_text.size());  // never empty: a number or a literal
  commit(w + value_text.size());
}

bool ObjectBuilder::key_less(const Member& a, const Member& b) const noexcept {
  if (a.key_prefix != b.key_prefix) return a.key_prefix < b.key_prefix;
  // Equal first eight bytes (zero-padded): the rest, or the length, decides.
  return key_of(a) < key_of(b);
}

void ObjectBuilder::add_null(std::string_view key) { add_text(key, "null"); }

void ObjectBuilder::add_bool(std::string_view key, bool value) { add_text(key, value ? "true" : "false"); }

void ObjectBuilder::add_int(std::string_view key, std::int64_t value) {
  char* w = begin_member(room(key_room(key) + kMaxNumberSize), key);
  commit(write_int(w, value));
}

void ObjectBuilder::add_uint(std::string_view key, std::uint64_t value) {
  char* w = begin_member(room(key_room(key) + kMaxNumberSize), key);
  commit(write_uint(w, value));
}

void ObjectBuilder::add_double(std::string_view key, double value) {
  char* w = begin_member(room(key_room(key) + kMaxNumberSize), key);
  commit(write_double(w, value));
}

void ObjectBuilder::add_string(std::string_view key, std::string_view value) {
  char* w = begin_member(room(key_room(key) + quoted_bound(value)), key);
  commit(quote(w, value, needs_escape(value)));
}

void ObjectBuilder::add_object(std::string_view key, const ObjectBuilder& value) {
  VM_CHECK(&value != this);
  char* w = begin_member(room(key_room(key) + value.written_bound()), key);
  commit(value.write_at(w));
}

std::size_t ObjectBuilder::sorted_members(std::uint32_t* order) const noexcept {
  const std::size_t n = members_.size();
  for (std::size_t i = 0; i < n; ++i) order[i] = narrow(i);
  // Stable, so members with one key stay in the order added and the last of them wins.
  // Answers are added mostly in order, where an insertion sort does little work.
  const auto less = [this](std::uint32_t a, std::uint32_t b) { return key_less(members_[a], members_[b]); };
  if (n <= kStackMembers) {
    for (std::size_t i = 1; i < n; ++i) {
      const std::uint32_t item = order[i];
      std::size_t j = i;
      for (; j > 0 && less(item, order[j - 1]); --j) order[j] = order[j - 1];
      order[j] = item;
    }
  } else {
    std::stable_sort(order, order + n, less);
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + 1 < n && !less(order[i], order[i + 1])) continue;  // replaced by a later one
    order[kept++] = order[i];
  }
  return kept;
}

std::size_t ObjectBuilder::written_bound() const noexcept {
  std::size_t size = members_.size() + 2;  // braces and commas
  for (const Member& m : members_) size += m.chunk_size;
  return size;
}

char* ObjectBuilder::write_at(char* w) const noexcept {
  std::array<std::uint32_t, kStackMembers> on_stack;
  std::uint32_t* order = on_stack.data();
  if (members_.size() > on_stack.size()) {
    order_.resize(members_.size());
    order = order_.data();
  }
  const std::size_t n = sorted_members(order);
  *w++ = '{';
  for (std::size_t i = 0; i < n; ++i) {
    const Member& m = members_[order[i]];
    if (i != 0) *w++ = ',';
    std::memcpy(w, text_.get() + m.chunk_at, m.chunk_size);
    w += m.chunk_size;
  }
  *w++ = '}';
  return w;
}

void ObjectBuilder::write(std::string& out) const {
  const std::size_t at = out.size();
  out.resize(at + written_bound());
  out.resize(static_cast<std::size_t>(write_at(out.data() + at) - out.data()));
}

void ObjectBuilder::clear() noexcept {
  size_ = 0;
  members_.clear();
}

}  // namespace vm::json
