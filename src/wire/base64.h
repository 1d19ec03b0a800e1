// Strict RFC 4648 Base64 in its two variants: the standard alphabet with required,
// canonical "=" padding, and the URL-safe alphabet without padding. Decoding rejects
// whitespace, foreign characters and non-zero leftover bits, so every byte string has
// exactly one accepted text. No packaged C/C++ codec decodes this strictly.
// Pure functions; they append to a caller's buffer so that it can be reused.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vm {

enum class Base64 { standard, url };

// Length of the encoded text of `n` bytes.
constexpr std::size_t base64_encoded_size(std::size_t n, Base64 kind) noexcept {
  return kind == Base64::standard ? (n + 2) / 3 * 4 : (n * 4 + 2) / 3;
}

void append_base64(std::string& out, std::string_view bytes, Base64 kind);

// Writes the encoded text at `out` (base64_encoded_size bytes of room); returns its end.
char* write_base64(char* out, std::string_view bytes, Base64 kind) noexcept;

// Appends the decoded bytes to `out`; on failure returns false and leaves `out` as it was.
[[nodiscard]] bool decode_base64(std::string_view text, Base64 kind, std::string& out);

// Decodes into a fixed buffer of at least (text.size() / 4 + 1) * 3 bytes; returns the
// number of bytes or -1. For small hot-path texts such as timestamp codes.
[[nodiscard]] std::ptrdiff_t decode_base64_into(std::string_view text, Base64 kind,
                                                unsigned char* out) noexcept;

}  // namespace vm
