#include "json/object_builder.h"

#include <algorithm>

#include "json/json_writer.h"

namespace vm::json {

std::size_t ObjectBuilder::start_member(std::string_view key) {
  text_.append(key);
  return text_.size();
}

void ObjectBuilder::finish_member(std::size_t key_at, std::size_t value_at) {
  const Member member{key_at, value_at - key_at, value_at, text_.size() - value_at};
  const std::string_view key = key_of(member);
  // Answers hold a few dozen members, so a sorted vector beats any tree.
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [this](const Member& m, std::string_view k) { return key_of(m) < k; });
  if (it != members_.end() && key_of(*it) == key) {
    *it = member;  // the earlier value's text stays unused in the buffer until clear()
  } else {
    members_.insert(it, member);
  }
}

void ObjectBuilder::add_null(std::string_view key) {
  const std::size_t key_at = text_.size();
  const std::size_t value_at = start_member(key);
  text_.append("null");
  finish_member(key_at, value_at);
}

void ObjectBuilder::add_bool(std::string_view key, bool value) {
  const std::size_t key_at = text_.size();
  const std::size_t value_at = start_member(key);
  text_.append(value ? "true" : "false");
  finish_member(key_at, value_at);
}

void ObjectBuilder::add_int(std::string_view key, std::int64_t value) {
  const std::size_t key_at = text_.size();
  const std::size_t value_at = start_member(key);
  append_int(text_, value);
  finish_member(key_at, value_at);
}

void ObjectBuilder::add_uint(std::string_view key, std::uint64_t value) {
  const std::size_t key_at = text_.size();
  const std::size_t value_at = start_member(key);
  append_uint(text_, value);
  finish_member(key_at, value_at);
}

void ObjectBuilder::add_double(std::string_view key, double value) {
  const std::size_t key_at = text_.size();
  const std::size_t value_at = start_member(key);
  append_double(text_, value);
  finish_member(key_at, value_at);
}

void ObjectBuilder::add_string(std::string_view key, std::string_view value) {
  const std::size_t key_at = text_.size();
  const std::size_t value_at = start_member(key);
  append_string(text_, value);
  finish_member(key_at, value_at);
}

void ObjectBuilder::add_object(std::string_view key, const ObjectBuilder& value) {
  const std::size_t key_at = text_.size();
  const std::size_t value_at = start_member(key);
  if (&value == this) {
    std::string copy;
    value.write(copy);
    text_.append(copy);
  } else {
    value.write(text_);
  }
  finish_member(key_at, value_at);
}

void ObjectBuilder::write(std::string& out) const {
  out.push_back('{');
  bool first = true;
  for (const Member& m : members_) {
    if (!first) out.push_back(',');
    first = false;
    append_string(out, key_of(m));
    out.push_back(':');
    out.append(text_, m.value_at, m.value_size);
  }
  out.push_back('}');
}

void ObjectBuilder::clear() noexcept {
  text_.clear();
  members_.clear();
}

}  // namespace vm::json
