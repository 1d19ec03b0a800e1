#include "fusion/state_check.h"

#include <array>
#include <cstring>

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

// The record of a short string in one word, read whole from its buffer: a std::string
// holds at least 16 bytes (the buffer of its short form, or 16 or more on the heap), so
// eight bytes from its start are its own. This path carries most values; it has no branch
// on the length, which varies from value to value.
template <class Crc>
inline std::uint32_t add_string_record(std::uint32_t crc, const std::string& text) noexcept {
  const std::size_t n = text.size();
  if (n > 7 || text.capacity() < 7) [[unlikely]]
    return add_record<Crc>(crc, text);
  std::uint64_t w;
  std::memcpy(&w, text.data(), 8);
  w &= (std::uint64_t{1} << (8 * n)) - 1;
  return Crc::step(crc, (w << 8) | n);
}

// One value's record: the stored string, or its replacement when a change is pending.
template <class Crc>
inline std::uint32_t add_value(std::uint32_t crc, const std::string& v) noexcept { return add_string_record<Crc>(crc, v); }
template <class Crc>
inline std::uint32_t add_value(std::uint32_t crc, std::string_view v) noexcept { return add_record<Crc>(crc, v); }

template <class Crc, class Value>
std::uint32_t continue_with(std::uint32_t crc, std::span<const Value> values, std::span<const ValueChange> changes) noexcept {
  std::size_t next = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (next < changes.size() && changes[next].index == i)
      crc = add_record<Crc>(crc, changes[next++].value);
    else
      crc = add_value<Crc>(crc, values[i]);
  }
  return crc ^ 0xFFFFFFFFu;
}

#if defined(__x86_64__)
// The instruction written out, so that it inlines into code built for any x86-64; it runs
// only once the CPU has been seen to have it.
struct HardwareCrc {
  static std::uint32_t step(std::uint32_t crc, std::uint64_t word) noexcept {
    std::uint64_t c = crc;
    asm("crc32q %1, %0" : "+r"(c) : "rm"(word));
    return static_cast<std::uint32_t>(c);
  }
};

const bool kHasCrcInstruction = [] {
  __builtin_cpu_init();  // may run before the runtime's own constructor
  return __builtin_cpu_supports("sse4.2") != 0;
}();
#endif

template <class Value>
std::uint32_t continue_digest(std::uint32_t sig_crc, std::span<const Value> values,
                              std::span<const ValueChange> changes) noexcept {
#if defined(__x86_64__)
  if (kHasCrcInstruction) return continue_with<HardwareCrc>(sig_crc, values, changes);
#endif
  return continue_with<SoftwareCrc>(sig_crc, values, changes);
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
  if (kHasCrcInstruction) return add_record<HardwareCrc>(0xFFFFFFFFu, sig);
#endif
  return add_record<SoftwareCrc>(0xFFFFFFFFu, sig);
}

std::uint32_t template_state_digest(std::uint32_t sig_crc, std::span<const std::string_view> values) noexcept {
  return continue_digest(sig_crc, values, {});
}

std::uint32_t template_state_digest(std::uint32_t sig_crc, std::span<const std::string> values,
                                    std::span<const ValueChange> changes) noexcept {
  return continue_digest(sig_crc, values, changes);
}

std::uint32_t detail::portable_state_digest(std::string_view sig, std::span<const std::string> values,
                                            std::span<const ValueChange> changes) noexcept {
  return continue_with<SoftwareCrc>(add_record<SoftwareCrc>(0xFFFFFFFFu, sig), values, changes);
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
