#include "compressor/fact_record.h"

#include <cstring>

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

[[nodiscard]] bool read_text(ByteReader& reader, std::string_view& text) noexcept {
  const auto bytes = reader.counted();
  if (!bytes || !is_valid_text(*bytes)) return false;
  text = *bytes;
  return true;
}

[[nodiscard]] bool read_optional_text(ByteReader& reader,
                                      std::optional<std::string_view>& text) noexcept {
  const auto length = reader.u32();
  if (!length) return false;
  if (*length == kAbsent) {
    text.reset();
    return true;
  }
  const auto bytes = reader.bytes(*length);
  if (!bytes || !is_valid_text(*bytes)) return false;
  text = *bytes;
  return true;
}

}  // namespace

std::optional<FactHeader> FactRecordReader::header() noexcept {
  FactHeader h;
  if (!read_text(reader_, h.id) || !read_text(reader_, h.state)) return std::nullopt;
  const auto timestamp = reader_.f64();
  const auto count = reader_.u32();
  if (!timestamp || !count) return std::nullopt;
  h.timestamp = *timestamp;
  h.reading_count = *count;
  return h;
}

std::optional<SensorReadingView> FactRecordReader::next_reading() noexcept {
  SensorReadingView r;
  if (!read_text(reader_, r.id) || !read_text(reader_, r.state)) return std::nullopt;
  const auto value = reader_.f64();
  if (!value) return std::nullopt;
  r.value = *value;
  if (!read_text(reader_, r.unit)) return std::nullopt;
  return r;
}

std::optional<FactTrailers> FactRecordReader::trailers() noexcept {
  FactTrailers t;
  if (!read_optional_text(reader_, t.geohash) || !read_optional_text(reader_, t.url) ||
      !read_optional_text(reader_, t.msg) || !reader_.at_end())
    return std::nullopt;
  return t;
}

std::size_t FactRecordReader::readings_room() const noexcept {
  const std::size_t left = reader_.remaining();
  return left < kSmallestTrailers ? 0 : (left - kSmallestTrailers) / kSmallestReading;
}

}  // namespace vm
