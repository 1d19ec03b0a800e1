// Strict Base64 and hexadecimal codecs; see codec.h.
#include "codec.h"

#include <array>
#include <cstdint>

namespace tavkin {
namespace {

constexpr std::string_view kStandard =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kUrl =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::array<int8_t, 256> reverse_table(std::string_view alphabet) {
  std::array<int8_t, 256> table{};
  table.fill(-1);
  for (size_t i = 0; i < alphabet.size(); ++i) table[static_cast<uint8_t>(alphabet[i])] = static_cast<int8_t>(i);
  return table;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string base64_encode(std::string_view bytes, Base64Alphabet alphabet) {
  const std::string_view digits = alphabet == Base64Alphabet::standard ? kStandard : kUrl;
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 | static_cast<uint8_t>(bytes[i + 1]) << 8 |
                       static_cast<uint8_t>(bytes[i + 2]);
    out += digits[v >> 18];
    out += digits[(v >> 12) & 63];
    out += digits[(v >> 6) & 63];
    out += digits[v & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    out += digits[v >> 18];
    out += digits[(v >> 12) & 63];
    if (rest == 2) out += digits[(v >> 6) & 63];
    if (alphabet == Base64Alphabet::standard) out.append(rest == 1 ? "==" : "=");
  }
  return out;
}

std::optional<std::string> base64_decode(std::string_view text, Base64Alphabet alphabet) {
  static const auto standard = reverse_table(kStandard);
  static const auto url = reverse_table(kUrl);
  const auto& table = alphabet == Base64Alphabet::standard ? standard : url;
  if (alphabet == Base64Alphabet::standard) {
    if (text.size() % 4 != 0) return std::nullopt;
    size_t pad = 0;
    while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
    text.remove_suffix(pad);
  } else if (text.size() % 4 == 1) {
    return std::nullopt;
  }
  std::string out;
  out.reserve(text.size() * 3 / 4);
  uint32_t acc = 0;
  int bits = 0;
  for (const char c : text) {
    const int8_t v = table[static_cast<uint8_t>(c)];
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  if (bits >= 6 || (acc & ((1u << bits) - 1)) != 0) return std::nullopt;  // non-canonical tail
  return out;
}

std::string hex_encode(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    out += kDigits[static_cast<uint8_t>(c) >> 4];
    out += kDigits[static_cast<uint8_t>(c) & 15];
  }
  return out;
}

std::optional<std::string> hex_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 2);
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == ':') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) return std::nullopt;
    const int hi = hex_digit(c), lo = hex_digit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi << 4 | lo);
    i += 2;
  }
  return out;
}

}  // namespace tavkin
