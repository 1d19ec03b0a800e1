// A sensor fact and a compressor configuration as the tool holds them, and their two
// outward forms: the big-endian byte records the library takes, and JSON Lines text
// (the source form that `tavkin encode` reads and `tavkin demo` measures). Value types.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavkin {

struct Reading {
  std::string id;
  std::string s;
  double v = 0;
  std::string u;
};

struct Fact {
  std::optional<std::uint32_t> aid;  // sending device; not part of the fact record
  std::string id;
  std::string s;
  double timestamp = 0;
  std::vector<Reading> readings;
  std::optional<std::string> geohash;
  std::optional<std::string> url;
  std::optional<std::string> msg;
};

struct CompressorSettings {
  std::uint32_t precision = 4;  // 4 decimals: the receiver's JSON shows values as sent
  bool ms_timestamps = false;
  std::vector<std::pair<std::string, std::string>> units;   // name -> code, in order
  std::vector<std::pair<std::string, std::string>> states;  // name -> code, in order
};

// The FactRecord bytes of `vm_compress_fact_v1`.
void append_fact_record(std::string& out, const Fact& fact);
[[nodiscard]] std::string fact_record(const Fact& fact);

// The CompressorConfig bytes of `vm_compressor_create_v1`.
[[nodiscard]] std::string compressor_config_record(const CompressorSettings& settings);

// One JSON Lines entry (no line break) in the schema `tavkin encode` reads.
void append_fact_json(std::string& out, const Fact& fact);

// The longest code in either map: compact texts grow by at most this much per mapped name.
[[nodiscard]] std::size_t longest_code(const CompressorSettings& settings);

}  // namespace tavkin
