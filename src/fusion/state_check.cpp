#include "fusion/state_check.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace vm {
namespace {

// Written here rather than taken from a CRC library: the digest feeds records word by word
// from scattered strings, which no packaged CRC-32C entry takes without copying them together.
constexpr std::uint32_t kCrc32cPoly = 0x82F63B78;  // reflected Castagnoli polynomial

constexpr std::array<std::uint32_t, 256> make_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kCrc32cPoly : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr std::array<std::uint32_t, 256> kTable = make_table();

// Up to 8 bytes of `p` as a little-endian word, the rest zero.
inline std::uint64_t load_partial(const char* p, std::size_t n) noexcept {
  std::uint64_t w = 0;
  if (n >= 4) {
    std::uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    w = lo | (std::uint64_t{hi} << ((n - 4) * 8));
  } else if (n > 0) {
    const auto b = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
    w = b(0) | (b(n / 2) << (8 * (n / 2))) | (b(n - 1) << (8 * (n - 1)));
  }
  return w;
}

inline std::uint64_t load_word(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

struct SoftwareCrc {
  static std::uint32_t step(std::uint32_t crc, std::uint64_t word) noexcept {
    for (int i = 0; i < 8; ++i) crc = (crc >> 8) ^ kTable[(crc ^ static_cast<std::uint32_t>(word >> (8 * i))) & 0xFF];
    return crc;
  }
};

// One record: the length byte and the first seven bytes share a word; then whole words,
// the last zero-padded. The words are those of the little-endian byte stream.
template <class Crc>
inline std::uint32_t add_record(std::uint32_t crc, std::string_view text) noexcept {
  const char* p = text.data();
  std::size_t n = text.size();
  const std::size_t first = n < 7 ? n : 7;
  crc = Crc::step(crc, (load_partial(p, first) << 8) | (n & 0xFF));
  p += first;
  n -= first;
  for (; n >= 8; n -= 8, p += 8) crc = Crc::step(crc, load_word(p));
  if (n > 0) crc = Crc::step(crc, load_partial(p, n));
  return crc;
}

template <class Crc, class Value>
std::uint32_t continue_with(std::uint32_t crc, std::span<const Value> values) noexcept {
  for (const Value& v : values) crc = add_record<Crc>(crc, std::string_view(v));
  return crc ^ 0xFFFFFFFFu;
}

#if defined(__x86_64__)
struct HardwareCrc {
  [[gnu::target("sse4.2")]] static std::uint32_t step(std::uint32_t crc, std::uint64_t word) noexcept {
    return static_cast<std::uint32_t>(_mm_crc32_u64(crc, word));
  }
};

[[gnu::target("sse4.2")]] std::uint32_t signature_hardware(std::string_view sig) noexcept {
  return add_record<HardwareCrc>(0xFFFFFFFFu, sig);
}

template <class Value>
[[gnu::target("sse4.2")]] std::uint32_t continue_hardware(std::uint32_t crc, std::span<const Value> values) noexcept {
  return continue_with<HardwareCrc>(crc, values);
}

const bool kHasCrcInstruction = [] {
  __builtin_cpu_init();  // may run before the runtime's own constructor
  return __builtin_cpu_supports("sse4.2") != 0;
}();
#endif

template <class Value>
std::uint32_t continue_digest(std::uint32_t sig_crc, std::span<const Value> values) noexcept {
#if defined(__x86_64__)
  if (kHasCrcInstruction) return continue_hardware(sig_crc, values);
#endif
  return continue_with<SoftwareCrc>(sig_crc, values);
}

// The murmur3 32-bit finaliser: every input bit reaches every output bit.
constexpr std::uint32_t murmur_finish(std::uint32_t m) noexcept {
  m ^= m >> 16;
  m *= 0x85EBCA6Bu;
  m ^= m >> 13;
  m *= 0xC2B2AE35u;
  m ^= m >> 16;
  return m;
}

}  // namespace

std::uint32_t signature_crc(std::string_view sig) noexcept {
#if defined(__x86_64__)
  if (kHasCrcInstruction) return signature_hardware(sig);
#endif
  return add_record<SoftwareCrc>(0xFFFFFFFFu, sig);
}

std::uint32_t template_state_digest(std::uint32_t sig_crc, std::span<const std::string_view> values) noexcept {
  return continue_digest(sig_crc, values);
}

std::uint32_t template_state_digest(std::uint32_t sig_crc, std::span<const std::string> values) noexcept {
  return continue_digest(sig_crc, values);
}

std::uint32_t detail::portable_state_digest(std::string_view sig, std::span<const std::string> values) noexcept {
  return continue_with<SoftwareCrc>(add_record<SoftwareCrc>(0xFFFFFFFFu, sig), values);
}

std::uint8_t fold_state_check(std::uint32_t digest, std::uint64_t timestamp) noexcept {
  // The timestamp is mixed on its own first: XORed in raw, consecutive timestamps would
  // only swap two digests that differ in their low bits, and a drift that one packet let
  // through would pass the next one too.
  const std::uint32_t spread =
      murmur_finish(static_cast<std::uint32_t>(timestamp) ^ static_cast<std::uint32_t>(timestamp >> 32));
  return static_cast<std::uint8_t>(murmur_finish(digest ^ spread));
}

}  // namespace vm
