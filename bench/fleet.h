// Benchmark data: a seeded demo fleet of sensor nodes and the byte forms its facts take
// (fact records for the compressor, compact JSON for the general-purpose peer). The same
// seed always gives the same facts, on any machine. Not thread-safe (one Fleet per thread).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct Reading {
  std::string id, state;
  double value;
  std::string unit;
};

struct Fact {
  std::uint32_t aid;  // device id on the wire
  std::string id, state;
  double timestamp;  // seconds; the compressor makes milliseconds of them
  std::vector<Reading> readings;
  std::optional<std::string> geohash, url, msg;
};

// Change rates of the fleet, per fact of a device. Values are quantized to 0.01 (the
// compressor's precision), so a value that "changes" always changes its code.
struct FleetRates {
  static constexpr int kDevices = 8;                 // readings per device: 3, 4, 5, 3, 4, ...
  static constexpr double kValueDrift = 0.25;        // each reading's value moves 1-3 steps
  static constexpr double kReadingStateFlip = 0.01;  // "ok" <-> "warn"
  static constexpr double kNodeDegrades = 0.005;     // "online" -> "degraded"
  static constexpr double kNodeRecovers = 0.2;       // "degraded" -> "online"
  static constexpr double kMessage = 0.03;           // one of three message texts
  static constexpr double kUrl = 0.01;               // the device's status link
};

// The fleet: devices report in turn, each once per second of fleet time.
class Fleet {
 public:
  explicit Fleet(std::uint64_t seed);
  Fact next();

 private:
  struct Device;
  double uniform();  // [0, 1)
  std::uint64_t state_;
  std::uint64_t round_ = 0;
  int turn_ = 0;
  std::vector<Device> devices_;
  std::vector<Fact> last_;
};

// `count` facts of a fleet started from `seed`.
std::vector<Fact> fleet_facts(std::uint64_t seed, std::size_t count);

// A device of the fleet with 16 sensors, as one fact.
Fact sixteen_reading_fact();

// The worked example: its compressor configuration and fact.
std::string example_config();
Fact example_fact();

// The fleet's compressor configuration (precision 2, millisecond timestamps, its units
// and states mapped to short codes).
std::string fleet_config();

// The fact record that vm_compress_fact_v1 takes.
std::string fact_record(const Fact& fact);

// The fact as compact JSON, as a user of a general-purpose compressor would send it.
std::string fact_json(const Fact& fact);
// The same appended to a buffer the caller reuses.
void append_fact_json(std::string& out, const Fact& fact);

// Big-endian helpers for building records.
void put_u32(std::string& out, std::uint32_t v);
void put_u64(std::string& out, std::uint64_t v);

}  // namespace bench
