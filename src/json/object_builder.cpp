#include "json/object_builder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "json/json_writer.h"
#include "support/fault.h"

namespace vm::json {
namespace {

std::uint64_t big_endian_prefix(std::string_view key) noexcept {
  std::uint64_t prefix = 0;
  const std::size_t n = std::min<std::size_t>(key.size(), 8);
  for (std::size_t i = 0; i < 8; ++i)
    prefix = (prefix << 8) | (i < n ? static_cast<unsigned char>(key[i]) : 0u);
  return prefix;
}

}  // namespace

char* ObjectBuilder::add_member(std::string_view key, std::size_t value_size) {
  const std::size_t quoted_key = quoted_size(key);
  const std::size_t at = text_.size();
  const std::size_t chunk_size = quoted_key + 1 + value_size;
  VM_CHECK(at + key.size() + chunk_size < std::numeric_limits<std::uint32_t>::max());
  text_.resize(at + key.size() + chunk_size);
  members_.push_back(Member{big_endian_prefix(key), static_cast<std::uint32_t>(at),
                            static_cast<std::uint32_t>(key.size()),
                            static_cast<std::uint32_t>(at + key.size()),
                            static_cast<std::uint32_t>(chunk_size)});
  char* w = text_.data() + at;
  if (!key.empty()) std::memcpy(w, key.data(), key.size());  // an empty view may be null
  w = write_quoted(w + key.size(), key, quoted_key);
  *w++ = ':';
  return w;
}

void ObjectBuilder::add_text(std::string_view key, std::string_view value_text) {
  char* w = add_member(key, value_text.size());
  std::memcpy(w, value_text.data(), value_text.size());  // never empty: a number or a literal
}

bool ObjectBuilder::key_less(const Member& a, const Member& b) const noexcept {
  if (a.key_prefix != b.key_prefix) return a.key_prefix < b.key_prefix;
  // Equal first eight bytes (zero-padded): the rest, or the length, decides.
  return key_of(a) < key_of(b);
}

void ObjectBuilder::add_null(std::string_view key) { add_text(key, "null"); }

void ObjectBuilder::add_bool(std::string_view key, bool value) { add_text(key, value ? "true" : "false"); }

void ObjectBuilder::add_int(std::string_view key, std::int64_t value) {
  char buf[kMaxNumberSize];
  add_text(key, std::string_view(buf, write_int(buf, value)));
}

void ObjectBuilder::add_uint(std::string_view key, std::uint64_t value) {
  char buf[kMaxNumberSize];
  add_text(key, std::string_view(buf, write_uint(buf, value)));
}

void ObjectBuilder::add_double(std::string_view key, double value) {
  char buf[kMaxNumberSize];
  add_text(key, std::string_view(buf, write_double(buf, value)));
}

void ObjectBuilder::add_string(std::string_view key, std::string_view value) {
  const std::size_t size = quoted_size(value);
  write_quoted(add_member(key, size), value, size);
}

void ObjectBuilder::add_object(std::string_view key, const ObjectBuilder& value) {
  VM_CHECK(&value != this);
  (void)add_member(key, 0);
  const std::size_t before = text_.size();
  value.write(text_);
  const std::size_t value_size = text_.size() - before;
  VM_CHECK(text_.size() < std::numeric_limits<std::uint32_t>::max());
  members_.back().chunk_size += static_cast<std::uint32_t>(value_size);
}

void ObjectBuilder::write(std::string& out) const {
  // Sort member numbers, not members; answers have a few dozen, so they fit on the stack,
  // where an insertion sort beats anything that needs a buffer.
  const std::size_t n = members_.size();
  std::array<std::uint32_t, 64> on_stack;
  std::vector<std::uint32_t> on_heap;
  std::uint32_t* order = on_stack.data();
  if (n > on_stack.size()) {
    on_heap.resize(n);
    order = on_heap.data();
  }
  std::size_t size = n + 2;
  for (std::size_t i = 0; i < n; ++i) {
    order[i] = static_cast<std::uint32_t>(i);
    size += members_[i].chunk_size;
  }
  // Stable, so members with one key stay in the order added and the last of them wins.
  const auto less = [this](std::uint32_t a, std::uint32_t b) { return key_less(members_[a], members_[b]); };
  if (n <= on_stack.size()) {
    for (std::size_t i = 1; i < n; ++i) {
      const std::uint32_t item = order[i];
      std::size_t j = i;
      for (; j > 0 && less(item, order[j - 1]); --j) order[j] = order[j - 1];
      order[j] = item;
    }
  } else {
    std::stable_sort(order, order + n, less);
  }

  out.reserve(out.size() + size);
  out.push_back('{');
  bool first = true;
  for (std::size_t i = 0; i < n; ++i) {
    const Member& m = members_[order[i]];
    if (i + 1 < n && !less(order[i], order[i + 1])) continue;  // replaced by a later one
    if (!first) out.push_back(',');
    first = false;
    out.append(text_, m.chunk_at, m.chunk_size);
  }
  out.push_back('}');
}

void ObjectBuilder::clear() noexcept {
  text_.clear();
  members_.clear();
}

}  // namespace vm::json
