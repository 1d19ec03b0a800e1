// An ordered JSON object for answers: members stay sorted by the bytes of their keys as
// they are added, a member added again under the same key replaces the earlier one, and the
// object is written in compact form. Values are rendered when added, into one buffer that
// clear() keeps for reuse. One builder belongs to one thread.
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
  // Adds `value` as it is now; later changes to it do not show.
  void add_object(std::string_view key, const ObjectBuilder& value);

  // Appends {"key":value,...} with the keys in ascending byte order.
  void write(std::string& out) const;

  void clear() noexcept;
  [[nodiscard]] std::size_t size() const noexcept { return members_.size(); }

 private:
  struct Member {
    std::size_t key_at, key_size, value_at, value_size;
  };

  // Appends the key to the buffer and returns where the value's text will start.
  std::size_t start_member(std::string_view key);
  // Files the member whose key starts at `key_at` and whose value runs to the buffer's end.
  void finish_member(std::size_t key_at, std::size_t value_at);
  [[nodiscard]] std::string_view key_of(const Member& m) const noexcept {
    return std::string_view(text_).substr(m.key_at, m.key_size);
  }

  std::string text_;  // keys as they are, values as JSON text
  std::vector<Member> members_;
};

}  // namespace vm::json
