// Test helper: builds compressor configuration records and fact records byte by byte, and
// remembers where each text's bytes sit so that tests can corrupt them one at a time.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vm::testing {

struct RecordBuilder {
  std::string bytes;
  std::vector<std::pair<std::size_t, std::size_t>> texts;  // (offset, length) of each text

  RecordBuilder& u8(std::uint8_t v) {
    bytes += static_cast<char>(v);
    return *this;
  }
  RecordBuilder& u32(std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) u8(static_cast<std::uint8_t>(v >> shift));
    return *this;
  }
  RecordBuilder& f64(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (int shift = 56; shift >= 0; shift -= 8) u8(static_cast<std::uint8_t>(bits >> shift));
    return *this;
  }
  RecordBuilder& text(const std::string& s) {
    u32(static_cast<std::uint32_t>(s.size()));
    texts.emplace_back(bytes.size(), s.size());
    bytes += s;
    return *this;
  }
  RecordBuilder& optional_text(const std::optional<std::string>& s) {
    return s ? text(*s) : u32(0xFFFFFFFF);
  }
};

struct ConfigSpec {
  std::uint32_t precision = 2;
  std::uint8_t ms_timestamps = 0;
  std::vector<std::pair<std::string, std::string>> units;
  std::vector<std::pair<std::string, std::string>> states;
};

inline RecordBuilder config_record(const ConfigSpec& c) {
  RecordBuilder b;
  b.u32(c.precision).u8(c.ms_timestamps);
  b.u32(static_cast<std::uint32_t>(c.units.size()));
  for (const auto& [name, code] : c.units) b.text(name).text(code);
  b.u32(static_cast<std::uint32_t>(c.states.size()));
  for (const auto& [name, code] : c.states) b.text(name).text(code);
  return b;
}

struct ReadingSpec {
  std::string id, s;
  double v;
  std::string u;
};

struct FactSpec {
  std::string id, s;
  double timestamp = 0;
  std::vector<ReadingSpec> readings;
  std::optional<std::string> geohash, url, msg;
};

inline RecordBuilder fact_record(const FactSpec& f) {
  RecordBuilder b;
  b.text(f.id).text(f.s).f64(f.timestamp).u32(static_cast<std::uint32_t>(f.readings.size()));
  for (const auto& r : f.readings) b.text(r.id).text(r.s).f64(r.v).text(r.u);
  b.optional_text(f.geohash).optional_text(f.url).optional_text(f.msg);
  return b;
}

// The compressor and fact of the worked example, and its compact text.
inline ConfigSpec example_config() {
  return {2, 1, {{"celsius", "c1"}}, {{"online", "1"}, {"ok", "0"}}};
}
inline FactSpec example_fact() {
  return {"node7", "ONLINE", 1700000000.0,
          {{"t1", "OK", 21.5, "Celsius"}, {"h", "ok", 1000.0, "m/s2"}, {"d", "ok", -0.125, "1000m"}},
          "hi", "https://s1", "xyz"};
}
inline constexpr const char* kExampleCompact =
    "node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|&hi|#czE|@eHl6";

}  // namespace vm::testing
