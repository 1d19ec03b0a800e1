// Texts (cut at the first NUL) through vm_b62_decode_i64. Oracle: a reference decoder
// (optional "-", digits of the alphabet, arithmetic modulo 2^64); every value decoded
// encodes with vm_b62_encode_i64 to a numeral that decodes back to it, and a canonical
// numeral (no leading zero, no "-0", no wrap) encodes to itself.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "velmarinthos_tavkin.h"

namespace {

constexpr std::string_view kAlphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

struct Decoded {
  std::int64_t value;
  bool wrapped;
};

std::optional<Decoded> reference_decode(std::string_view text) {
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  bool wrapped = false;
  for (char c : text) {
    const auto d = kAlphabet.find(c);
    if (d == std::string_view::npos) return std::nullopt;
    if (value > (UINT64_MAX - d) / 62) wrapped = true;
    value = value * 62 + d;
  }
  if (negative ? value > (std::uint64_t{1} << 63) : value > static_cast<std::uint64_t>(INT64_MAX)) wrapped = true;
  if (negative) value = 0 - value;
  return Decoded{static_cast<std::int64_t>(value), wrapped};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(fuzz::text_of(data, size));
  text = text.substr(0, text.find('\0'));
  int32_t ok = 7;
  const std::int64_t value = vm_b62_decode_i64(text.c_str(), &ok);
  const auto expected = reference_decode(text);
  FUZZ_CHECK(ok == (expected ? 1 : 0));
  FUZZ_CHECK(value == (expected ? expected->value : 0));
  FUZZ_CHECK(vm_b62_decode_i64(text.c_str(), nullptr) == value);
  if (!expected) return 0;

  char numeral[16];
  std::memset(numeral, 0x7F, sizeof numeral);
  FUZZ_CHECK(vm_b62_encode_i64(value, numeral, 13) == 1);
  int32_t again_ok = 0;
  FUZZ_CHECK(vm_b62_decode_i64(numeral, &again_ok) == value && again_ok == 1);
  const std::string_view digits = std::string_view(text).substr(text.front() == '-' ? 1 : 0);
  const bool canonical = !expected->wrapped && (digits == "0" ? text == "0" : digits.front() != '0');
  if (canonical) FUZZ_CHECK(text == numeral);
  return 0;
}
