// The demo's simulated fleet; see fleet.h.
#include "fleet.h"

#include <cmath>

#include <fmt/format.h>

namespace tavkin {
namespace {

struct SensorKind {
  const char* id;
  const char* unit;
  double lo, hi;  // range of the long-run mean
  double step, quantum;
};

// Temperatures and pressures move in most reports, humidity and battery rarely, the
// mounting height never; vibration is quiet until something shakes.
constexpr SensorKind kKinds[] = {
    {"t1", "Celsius", 17.0, 24.0, 0.04, 0.05}, {"rh", "%", 35.0, 65.0, 0.25, 1.0},
    {"p", "hPa", 995.0, 1025.0, 0.03, 0.1},    {"acc", "m/s2", 9.80, 9.82, 0.002, 0.01},
    {"alt", "1000m", 0.12, 1.8, 0.0, 0.01},    {"bat", "%", 60.0, 100.0, 0.02, 1.0},
    {"t2", "Celsius", 4.0, 8.0, 0.03, 0.1},
};

constexpr const char* kPlaces[] = {"greenhouse", "cellar", "roof", "pump", "cold-store", "barn", "lab", "dock"};
constexpr const char* kMessages[] = {"door opened", "battery low", "restarted", "calibrated"};
constexpr const char* kGeohashChars = "0123456789bcdefghjkmnpqrstuvwxyz";

// Rounds to a multiple of q (a divisor of 1 or a whole number). Dividing by the whole
// number 1/q, rather than multiplying by q, gives the nearest double to the decimal:
// 21.4, not 21.400000000000002.
double quantize(double v, double q) {
  if (q >= 1) return std::round(v / q) * q;
  const double per_unit = std::round(1 / q);
  return std::round(v * per_unit) / per_unit;
}

}  // namespace

Fleet::Fleet(std::uint32_t devices, std::uint64_t seed, bool moving) : rng_(seed) {
  for (std::uint32_t i = 0; i < devices; ++i) devices_.push_back(make_device(i, moving));
}

std::string Fleet::random_geohash() {
  std::string geohash;
  for (int i = 0; i < 7; ++i) geohash += kGeohashChars[rng_() % 32];
  return geohash;
}

Fleet::Device Fleet::make_device(std::uint32_t index, bool moving) {
  Device d;
  d.aid = 305419896 + index * 7919;
  d.name = fmt::format("{}-{}", kPlaces[index % std::size(kPlaces)], index + 1);
  d.geohash = random_geohash();
  if (moving && index % 4 == 1) d.habit = Device::Habit::moves;
  if (moving && index % 4 == 2) d.habit = Device::Habit::talks;
  d.clock = 1700000000.0 + index * 3.25;
  const std::size_t count = 2 + rng_() % 4;
  const std::size_t first = rng_() % std::size(kKinds);
  for (std::size_t k = 0; k < count; ++k) {
    const SensorKind& kind = kKinds[(first + k) % std::size(kKinds)];
    const double mean = uniform(kind.lo, kind.hi);
    d.sensors.push_back({kind.id, kind.unit, quantize(mean, kind.quantum), mean, kind.step, kind.quantum});
  }
  return d;
}

Fact Fleet::next() {
  Device& d = devices_[rng_() % devices_.size()];
  d.clock += 10.0 + std::floor(uniform(0, 8)) * 0.125;  // every ten seconds or a little later
  if (d.state == "online" ? chance(0.002) : chance(0.05)) d.state = d.state == "online" ? "degraded" : "online";

  Fact fact;
  fact.aid = d.aid;
  fact.id = d.name;
  fact.s = d.state;
  fact.timestamp = d.clock;
  for (Sensor& s : d.sensors) {
    // A mean-reverting random walk, reported at the sensor's resolution.
    s.value += std::normal_distribution<double>(0.0, s.step)(rng_) + 0.02 * (s.mean - s.value);
    if (s.id == std::string_view("acc") && chance(0.01)) s.value += uniform(-0.5, 0.5);
    if (s.state == "ok" ? chance(0.004) : chance(0.08)) s.state = s.state == "ok" ? "warn" : "ok";
    fact.readings.push_back({s.id, s.state, quantize(s.value, s.quantum), s.unit});
  }
  if (d.habit == Device::Habit::moves) d.geohash = random_geohash();
  fact.geohash = d.geohash;
  if (chance(0.01)) fact.msg = kMessages[rng_() % std::size(kMessages)];
  if (d.habit == Device::Habit::talks && chance(0.8)) {
    fact.msg = fmt::format("{} at {:.0f}, queue {}", kMessages[rng_() % std::size(kMessages)], d.clock, rng_() % 50);
  }
  if (chance(0.004)) {
    fact.url = chance(0.5) ? fmt::format("https://fleet.example/devices/{}", d.aid)
                           : fmt::format("coap://gw{}.local/{}", d.aid % 4, d.name);
  }
  return fact;
}

CompressorSettings Fleet::compressor_settings() {
  CompressorSettings s;
  s.precision = 2;
  s.ms_timestamps = true;
  s.units = {{"celsius", "C"}, {"%", "P"}, {"hpa", "hP"}};
  s.states = {{"online", "1"}, {"degraded", "2"}, {"ok", "0"}, {"warn", "1"}};
  return s;
}

}  // namespace tavkin
