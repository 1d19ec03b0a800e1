// Fact records, configuration records and JSON Lines; see fact.h.
#include "fact.h"

#include <bit>
#include <cstring>

#include "json_text.h"

namespace tavkin {
namespace {

void put_u32(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v >> 24);
  out += static_cast<char>(v >> 16);
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v);
}

void put_f64(std::string& out, double v) {
  const auto bits = std::bit_cast<std::uint64_t>(v);
  for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>(bits >> shift);
}

void put_counted(std::string& out, const std::string& s) {
  put_u32(out, static_cast<std::uint32_t>(s.size()));
  out += s;
}

void put_optional(std::string& out, const std::optional<std::string>& s) {
  if (s) {
    put_counted(out, *s);
  } else {
    put_u32(out, 0xFFFFFFFFu);
  }
}

void put_pairs(std::string& out, const std::vector<std::pair<std::string, std::string>>& pairs) {
  put_u32(out, static_cast<std::uint32_t>(pairs.size()));
  for (const auto& [name, code] : pairs) {
    put_counted(out, name);
    put_counted(out, code);
  }
}

void add_member(std::string& out, std::string_view key) {
  if (out.back() != '{') out += ',';
  append_json_string(out, key);
  out += ':';
}

}  // namespace

void append_fact_record(std::string& out, const Fact& fact) {
  put_counted(out, fact.id);
  put_counted(out, fact.s);
  put_f64(out, fact.timestamp);
  put_u32(out, static_cast<std::uint32_t>(fact.readings.size()));
  for (const Reading& r : fact.readings) {
    put_counted(out, r.id);
    put_counted(out, r.s);
    put_f64(out, r.v);
    put_counted(out, r.u);
  }
  put_optional(out, fact.geohash);
  put_optional(out, fact.url);
  put_optional(out, fact.msg);
}

std::string fact_record(const Fact& fact) {
  std::string out;
  append_fact_record(out, fact);
  return out;
}

std::string compressor_config_record(const CompressorSettings& settings) {
  std::string out;
  put_u32(out, settings.precision);
  out += static_cast<char>(settings.ms_timestamps ? 1 : 0);
  put_pairs(out, settings.units);
  put_pairs(out, settings.states);
  return out;
}

void append_fact_json(std::string& out, const Fact& fact) {
  out += '{';
  if (fact.aid) {
    add_member(out, "aid");
    out += std::to_string(*fact.aid);
  }
  add_member(out, "id");
  append_json_string(out, fact.id);
  add_member(out, "s");
  append_json_string(out, fact.s);
  add_member(out, "timestamp");
  append_json_number(out, fact.timestamp);
  add_member(out, "readings");
  out += '[';
  for (size_t i = 0; i < fact.readings.size(); ++i) {
    const Reading& r = fact.readings[i];
    if (i > 0) out += ',';
    out += "{\"id\":";
    append_json_string(out, r.id);
    out += ",\"s\":";
    append_json_string(out, r.s);
    out += ",\"v\":";
    append_json_number(out, r.v);
    out += ",\"u\":";
    append_json_string(out, r.u);
    out += '}';
  }
  out += ']';
  const std::pair<const char*, const std::optional<std::string>*> optionals[] = {
      {"geohash", &fact.geohash}, {"url", &fact.url}, {"msg", &fact.msg}};
  for (const auto& [key, value] : optionals) {
    if (!*value) continue;
    add_member(out, key);
    append_json_string(out, **value);
  }
  out += '}';
}

std::size_t longest_code(const CompressorSettings& settings) {
  std::size_t n = 0;
  for (const auto* pairs : {&settings.units, &settings.states}) {
    for (const auto& [name, code] : *pairs) n = std::max(n, code.size());
  }
  return n;
}

}  // namespace tavkin
