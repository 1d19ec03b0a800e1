// Text codecs of the tavkin tool: strict RFC 4648 Base64 (standard with padding, URL-safe
// without) and hexadecimal. Byte strings are held in std::string. Pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavkin {

enum class Base64Alphabet { standard, url };

[[nodiscard]] std::string base64_encode(std::string_view bytes, Base64Alphabet alphabet);

// Strict: the standard alphabet needs canonical "=" padding, the URL-safe one forbids it;
// whitespace, foreign characters and non-zero leftover bits are rejected.
[[nodiscard]] std::optional<std::string> base64_decode(std::string_view text,
                                                       Base64Alphabet alphabet);

[[nodiscard]] std::string hex_encode(std::string_view bytes);

// Upper or lower case digits; spaces, tabs and ":" between byte pairs are allowed.
[[nodiscard]] std::optional<std::string> hex_decode(std::string_view text);

}  // namespace tavkin
