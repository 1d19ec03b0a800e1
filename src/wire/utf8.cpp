#include "wire/utf8.h"

#include <simdjson.h>

namespace vm {

bool is_valid_utf8(std::string_view text) noexcept {
  return simdjson::validate_utf8(text.data(), text.size());
}

}  // namespace vm
