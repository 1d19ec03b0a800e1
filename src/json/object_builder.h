// An ordered JSON object for answers: written in compact form with its members in ascending
// byte order of their keys, whatever order they were added in; of several members added
// under one key the last one is written. Values are rendered when added, into one buffer
// that clear() keeps for reuse, so a builder kept per thread allocates nothing once warm.
// One builder belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vm::json {

class ObjectBuilder {
 public:
  void add_null(std::string_view key);
  void add_bool(std::string_view key, bool value);
  void add_int(std::string_view key, std::int64_t value);
  void add_uint(std::string_view key, std::uint64_t value);
  void add_double(std::string_view key, double value);
  void add_string(std::string_view key, std::string_view value);
  // Adds `value` (another builder) as it is now; later changes to it do not show.
  void add_object(std::string_view key, const ObjectBuilder& value);

  // Appends {"key":value,...} with the keys in ascending byte order.
  void write(std::string& out) const;

  void clear() noexcept;
  [[nodiscard]] bool empty() const noexcept { return members_.empty(); }

 private:
  struct Member {
    std::uint64_t key_prefix;  // first 8 key bytes, big-endian, zero-padded: most orderings
                               // are settled by one integer comparison
    std::uint32_t key_at, key_size;      // the raw key, for ordering
    std::uint32_t chunk_at, chunk_size;  // the member as written: "key":value
  };

  // Makes room for `n` more bytes and returns where they go; the size is set by commit().
  [[nodiscard]] char* room(std::size_t n);
  void grow(std::size_t n);
  // Writes the key of a new member at `w` (inside room() of at least max_key_size(key)),
  // files the member and returns where its value goes; commit() closes it.
  [[nodiscard]] char* begin_member(char* w, std::string_view key);
  void commit(char* end) noexcept;
  void add_text(std::string_view key, std::string_view value_text);
  // The members in key order, without those replaced by a later one with the same key.
  // Returns their count; `order` has room for members_.size() numbers.
  std::size_t sorted_members(std::uint32_t* order) const noexcept;
  // Appends the object written compactly at `w`, which has room for written_bound() bytes.
  char* write_at(char* w) const noexcept;
  [[nodiscard]] std::size_t written_bound() const noexcept;
  [[nodiscard]] std::string_view key_of(const Member& m) const noexcept {
    return std::string_view(text_.get() + m.key_at, m.key_size);
  }
  [[nodiscard]] bool key_less(const Member& a, const Member& b) const noexcept;

  // Per member: the raw key when it needs escapes (else it is read inside the chunk), then
  // "key":value. Grown by doubling and kept by clear(), so a builder reused per thread
  // stops allocating once it has held its largest answer.
  std::unique_ptr<char[]> text_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::vector<Member> members_;  // in the order added
  mutable std::vector<std::uint32_t> order_;  // write()'s scratch beyond kStackMembers
};

}  // namespace vm::json
