// UTF-8 validation for every text that crosses the boundary; backed by simdjson's
// vectorised validator. Pure function.
#pragma once

#include <string_view>

namespace vm {

[[nodiscard]] bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace vm
