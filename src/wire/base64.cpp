#include "wire/base64.h"

#include <array>
#include <cstdint>

namespace vm {
namespace {

constexpr std::string_view kStandard =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kUrl =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::array<signed char, 256> make_decode_table(std::string_view alphabet) {
  std::array<signed char, 256> t{};
  t.fill(-1);
  for (std::size_t i = 0; i < alphabet.size(); ++i)
    t[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
  return t;
}

constexpr auto kStandardDecode = make_decode_table(kStandard);
constexpr auto kUrlDecode = make_decode_table(kUrl);

}  // namespace

char* write_base64(char* w, std::string_view bytes, Base64 kind) noexcept {
  const std::string_view a = kind == Base64::standard ? kStandard : kUrl;
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (std::uint32_t{s[i]} << 16) | (std::uint32_t{s[i + 1]} << 8) | s[i + 2];
    *w++ = a[v >> 18];
    *w++ = a[(v >> 12) & 63];
    *w++ = a[(v >> 6) & 63];
    *w++ = a[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    const std::uint32_t v = std::uint32_t{s[i]} << 16;
    *w++ = a[v >> 18];
    *w++ = a[(v >> 12) & 63];
    if (kind == Base64::standard) {
      *w++ = '=';
      *w++ = '=';
    }
  } else if (rest == 2) {
    const std::uint32_t v = (std::uint32_t{s[i]} << 16) | (std::uint32_t{s[i + 1]} << 8);
    *w++ = a[v >> 18];
    *w++ = a[(v >> 12) & 63];
    *w++ = a[(v >> 6) & 63];
    if (kind == Base64::standard) *w++ = '=';
  }
  return w;
}

void append_base64(std::string& out, std::string_view bytes, Base64 kind) {
  const std::size_t size = base64_encoded_size(bytes.size(), kind);
  // Timestamps, urls and values are short: a stack buffer and one append cost less than
  // growing the string with zeros first.
  constexpr std::size_t kSmall = 128;
  if (size <= kSmall) {
    char text[kSmall];
    (void)write_base64(text, bytes, kind);
    out.append(text, size);
    return;
  }
  const std::size_t start = out.size();
  out.resize(start + size);
  (void)write_base64(out.data() + start, bytes, kind);
}

std::ptrdiff_t decode_base64_into(std::string_view text, Base64 kind, unsigned char* out) noexcept {
  const auto& table = kind == Base64::standard ? kStandardDecode : kUrlDecode;
  std::size_t symbols = text.size();
  if (kind == Base64::standard) {
    if (text.size() % 4 != 0) return -1;
    if (symbols > 0 && text[symbols - 1] == '=') --symbols;
    if (symbols > 0 && text[symbols - 1] == '=') --symbols;
  }
  // One symbol left over carries only 6 bits, never a whole byte.
  if (symbols % 4 == 1) return -1;

  unsigned char* w = out;
  std::size_t i = 0;
  for (; i + 4 <= symbols; i += 4) {
    const int a = table[static_cast<unsigned char>(text[i])];
    const int b = table[static_cast<unsigned char>(text[i + 1])];
    const int c = table[static_cast<unsigned char>(text[i + 2])];
    const int d = table[static_cast<unsigned char>(text[i + 3])];
    if ((a | b | c | d) < 0) return -1;
    const std::uint32_t v = (std::uint32_t(a) << 18) | (std::uint32_t(b) << 12) |
                            (std::uint32_t(c) << 6) | std::uint32_t(d);
    *w++ = static_cast<unsigned char>(v >> 16);
    *w++ = static_cast<unsigned char>(v >> 8);
    *w++ = static_cast<unsigned char>(v);
  }
  const std::size_t rest = symbols - i;
  if (rest >= 2) {
    const int a = table[static_cast<unsigned char>(text[i])];
    const int b = table[static_cast<unsigned char>(text[i + 1])];
    const int c = rest == 3 ? table[static_cast<unsigned char>(text[i + 2])] : 0;
    if ((a | b | c) < 0) return -1;
    const std::uint32_t v = (std::uint32_t(a) << 18) | (std::uint32_t(b) << 12) | (std::uint32_t(c) << 6);
    // Leftover bits below the last whole byte must be zero (canonical form).
    if (rest == 2 && (v & 0xFFFF) != 0) return -1;
    if (rest == 3 && (v & 0xFF) != 0) return -1;
    *w++ = static_cast<unsigned char>(v >> 16);
    if (rest == 3) *w++ = static_cast<unsigned char>(v >> 8);
  }
  return w - out;
}

bool decode_base64(std::string_view text, Base64 kind, std::string& out) {
  const std::size_t start = out.size();
  out.resize(start + (text.size() / 4 + 1) * 3);
  const std::ptrdiff_t n =
      decode_base64_into(text, kind, reinterpret_cast<unsigned char*>(out.data() + start));
  if (n < 0) {
    out.resize(start);
    return false;
  }
  out.resize(start + static_cast<std::size_t>(n));
  return true;
}

}  // namespace vm
