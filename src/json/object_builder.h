// An ordered JSON object for answers: written in compact form with its members in ascending
// byte order of their keys, whatever order they were added in; of several members added
// under one key the last one is written. Values are rendered when added, into one buffer
// that clear() keeps for reuse. One builder belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
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

  // Grows the buffer by the raw key, "key": and `value_size` bytes, files the member and
  // returns where its value goes.
  [[nodiscard]] char* add_member(std::string_view key, std::size_t value_size);
  void add_text(std::string_view key, std::string_view value_text);
  [[nodiscard]] std::string_view key_of(const Member& m) const noexcept {
    return std::string_view(text_).substr(m.key_at, m.key_size);
  }
  [[nodiscard]] bool key_less(const Member& a, const Member& b) const noexcept;

  std::string text_;  // per member: the raw key, then "key":value
  std::vector<Member> members_;  // in the order added
};

}  // namespace vm::json
