#include "compressor/fact_record.h"

#include <cstring>

#include "wire/byte_reader.h"
#include "wire/utf8.h"

namespace vm {
namespace {

constexpr std::uint32_t kAbsent = 0xFFFFFFFF;
// id length + state length + value + unit length, all texts empty.
constexpr std::size_t kSmallestReading = 4 + 4 + 8 + 4;
// Three absent trailers.
constexpr std::size_t kSmallestTrailers = 3 * 4;

// Identifiers, states and units are mostly a few ASCII bytes, for which the call into the
// vectorised validator costs more than looking at the bytes eight at a time.
[[nodiscard]] bool is_ascii(std::string_view text) noexcept {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  const char* p = text.data();
  const std::size_t n = text.size();
  if (n >= 8) {
    std::uint64_t seen = 0, word;
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
      std::memcpy(&word, p + i, 8);
      seen |= word;
    }
    std::memcpy(&word, p + n - 8, 8);  // the last bytes, overlapping the loop's words
    return ((seen | word) & kHighBits) == 0;
  }
  std::uint32_t seen = 0;
  if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    seen = a | b;
  } else {
    for (std::size_t i = 0; i < n; ++i) seen |= static_cast<unsigned char>(p[i]);
  }
  return (seen & 0x80808080u) == 0;
}

[[nodiscard]] bool is_valid_text(std::string_view text) noexcept {
  constexpr std::size_t kShort = 32;
  if (text.size() <= kShort && is_ascii(text)) return true;
  return is_valid_utf8(text);
}

}  // namespace

// The reads below take the cursor's bytes directly: a fact record is a few dozen short
// fields, where optional-wrapped reads cost more than the checks themselves.
bool FactRecordReader::read_u32(std::uint32_t& value) noexcept {
  if (end_ - p_ < 4) return false;
  value = load_big_endian<std::uint32_t>(p_);
  p_ += 4;
  return true;
}

bool FactRecordReader::read_f64(double& value) noexcept {
  if (end_ - p_ < 8) return false;
  const auto bits = load_big_endian<std::uint64_t>(p_);
  std::memcpy(&value, &bits, 8);
  p_ += 8;
  return true;
}

bool FactRecordReader::read_bytes(std::uint32_t n, std::string_view& text) noexcept {
  if (static_cast<std::size_t>(end_ - p_) < n) return false;
  text = std::string_view(reinterpret_cast<const char*>(p_), n);
  p_ += n;
  return is_valid_text(text);
}

bool FactRecordReader::read_text(std::string_view& text) noexcept {
  std::uint32_t n;
  return read_u32(n) && read_bytes(n, text);
}

bool FactRecordReader::read_optional_text(std::optional<std::string_view>& text) noexcept {
  std::uint32_t n;
  if (!read_u32(n)) return false;
  if (n == kAbsent) {
    text.reset();
    return true;
  }
  std::string_view bytes;
  if (!read_bytes(n, bytes)) return false;
  text = bytes;
  return true;
}

std::optional<FactHeader> FactRecordReader::header() noexcept {
  FactHeader h;
  if (!read_text(h.id) || !read_text(h.state) || !read_f64(h.timestamp) || !read_u32(h.reading_count))
    return std::nullopt;
  return h;
}

std::optional<SensorReadingView> FactRecordReader::next_reading() noexcept {
  SensorReadingView r;
  if (!read_text(r.id) || !read_text(r.state) || !read_f64(r.value) || !read_text(r.unit)) return std::nullopt;
  return r;
}

std::optional<FactTrailers> FactRecordReader::trailers() noexcept {
  FactTrailers t;
  if (!read_optional_text(t.geohash) || !read_optional_text(t.url) || !read_optional_text(t.msg) || p_ != end_)
    return std::nullopt;
  return t;
}

std::size_t FactRecordReader::readings_room() const noexcept {
  const auto left = static_cast<std::size_t>(end_ - p_);
  return left < kSmallestTrailers ? 0 : (left - kSmallestTrailers) / kSmallestReading;
}

}  // namespace vm
