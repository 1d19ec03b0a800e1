// Trimming of white space in unit texts: the 25 characters with the Unicode White_Space
// property (tab to carriage return, space, U+0085, U+00A0, U+1680, U+2000 to U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000). Pure functions on valid UTF-8.
#pragma once

#include <string_view>

namespace vm {

// `text` without its leading and trailing white space characters.
[[nodiscard]] std::string_view trim_unicode_space(std::string_view text) noexcept;

}  // namespace vm
