#include "compressor/code_map.h"

#include <algorithm>

namespace vm {
namespace {

char* lower_into(char* out, std::string_view text) noexcept {
  return std::transform(text.begin(), text.end(), out, ascii_lower);
}

constexpr std::uint64_t length_bit(std::size_t n) noexcept {
  return std::uint64_t{1} << (n < 63 ? n : 63);
}

}  // namespace

void CodeMap::assign(std::string_view name, std::string_view code) {
  std::string key(name.size(), '\0');
  lower_into(key.data(), name);
  codes_.insert_or_assign(std::move(key), std::string(code));
  name_lengths_ |= length_bit(name.size());
}

const std::string* CodeMap::find(std::string_view head, std::string_view tail) const {
  const std::size_t n = head.size() + tail.size();
  if ((name_lengths_ & length_bit(n)) == 0) return nullptr;

  // Unit and state names are short; a long key set in the configuration falls back to a
  // per-thread buffer that keeps its capacity between lookups.
  constexpr std::size_t kStackName = 128;
  char stack_name[kStackName];
  char* name = stack_name;
  if (n > kStackName) {
    thread_local std::string long_name;
    long_name.resize(n);
    name = long_name.data();
  }
  lower_into(lower_into(name, head), tail);
  const auto it = codes_.find(std::string_view(name, n));
  return it == codes_.end() ? nullptr : &it->second;
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
