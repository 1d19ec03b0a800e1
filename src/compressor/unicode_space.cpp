#include "compressor/unicode_space.h"

#include <array>

namespace vm {
namespace {

constexpr bool is_ascii_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// UTF-8 forms of the non-ASCII White_Space characters. Each starts with a lead byte, so
// matching one at the end of valid UTF-8 always matches a whole character.
constexpr std::array<std::string_view, 19> kWideSpaces = {
    "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
    "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A",
    "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};

// Lead bytes of those forms; any other non-ASCII byte rules them out at once.
constexpr bool may_start_wide_space(char c) noexcept {
  const auto b = static_cast<unsigned char>(c);
  return b == 0xC2 || b == 0xE1 || b == 0xE2 || b == 0xE3;
}

std::size_t space_at_front(std::string_view text) noexcept {
  if (text.empty()) return 0;
  if (is_ascii_space(text.front())) return 1;
  if (!may_start_wide_space(text.front())) return 0;
  for (std::string_view space : kWideSpaces)
    if (text.starts_with(space)) return space.size();
  return 0;
}

std::size_t space_at_back(std::string_view text) noexcept {
  if (text.empty()) return 0;
  if (is_ascii_space(text.back())) return 1;
  if (static_cast<unsigned char>(text.back()) < 0x80) return 0;
  for (std::string_view space : kWideSpaces)
    if (text.ends_with(space)) return space.size();
  return 0;
}

}  // namespace

std::string_view trim_unicode_space(std::string_view text) noexcept {
  while (const std::size_t n = space_at_front(text)) text.remove_prefix(n);
  while (const std::size_t n = space_at_back(text)) text.remove_suffix(n);
  return text;
}

}  // namespace vm
