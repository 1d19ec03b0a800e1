#include "compressor/fact_record.h"

#include "support/fault.h"
#include "wire/utf8.h"

namespace vm {
namespace {

constexpr std::uint32_t kAbsent = 0xFFFFFFFF;

enum class Utf8 { check, trust };

[[nodiscard]] bool read_text(ByteReader& reader, std::string_view& text, Utf8 utf8) noexcept {
  const auto bytes = reader.counted();
  if (!bytes || (utf8 == Utf8::check && !is_valid_utf8(*bytes))) return false;
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
  if (!bytes || !is_valid_utf8(*bytes)) return false;
  text = *bytes;
  return true;
}

[[nodiscard]] bool read_reading(ByteReader& reader, SensorReadingView& reading,
                                Utf8 utf8) noexcept {
  if (!read_text(reader, reading.id, utf8) || !read_text(reader, reading.state, utf8))
    return false;
  const auto value = reader.f64();
  if (!value) return false;
  reading.value = *value;
  return read_text(reader, reading.unit, utf8);
}

}  // namespace

ReadingRange::iterator::iterator(ByteSpan bytes, std::uint32_t count) noexcept
    : reader_(bytes), left_(count) {
  if (left_ != 0) read_current();
}

ReadingRange::iterator& ReadingRange::iterator::operator++() noexcept {
  if (--left_ != 0) read_current();
  return *this;
}

void ReadingRange::iterator::read_current() noexcept {
  // These bytes passed parse_fact_record; failing now would be a broken invariant.
  VM_CHECK(read_reading(reader_, current_, Utf8::trust));
}

std::optional<FactRecordView> parse_fact_record(ByteSpan record) noexcept {
  ByteReader reader(record);
  FactRecordView fact;
  if (!read_text(reader, fact.id, Utf8::check) || !read_text(reader, fact.state, Utf8::check))
    return std::nullopt;
  const auto timestamp = reader.f64();
  const auto count = reader.u32();
  if (!timestamp || !count) return std::nullopt;
  fact.timestamp = *timestamp;

  const std::size_t readings_start = reader.position();
  SensorReadingView reading;
  for (std::uint32_t i = 0; i < *count; ++i)
    if (!read_reading(reader, reading, Utf8::check)) return std::nullopt;
  fact.readings = ReadingRange(record.subspan(readings_start, reader.position() - readings_start),
                               *count);

  if (!read_optional_text(reader, fact.geohash) || !read_optional_text(reader, fact.url) ||
      !read_optional_text(reader, fact.msg) || !reader.at_end())
    return std::nullopt;
  return fact;
}

}  // namespace vm
