#include "fleet.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace bench {
namespace {

struct SensorKind {
  const char* id;
  const char* unit;
  double start;  // typical value
  double step;   // one drift step
};

// Realistic units, including a decimal multiplier ("1000m") that folds into an SI prefix.
constexpr SensorKind kKinds[] = {
    {"t", "Celsius", 21.50, 0.01}, {"h", "%", 45.00, 0.10},   {"p", "hPa", 1013.25, 0.05},
    {"a", "m/s2", 9.81, 0.01},     {"alt", "1000m", 0.35, 0.01}, {"bat", "V", 3.70, 0.01},
};
constexpr int kKindCount = sizeof kKinds / sizeof kKinds[0];

constexpr const char* kMessages[] = {"door opened", "battery low", "maintenance due"};
constexpr const char* kGeohashes[] = {"u4pruydqqvj", "u4pruydqqvm", "u33dc0cppj",  "gcpvj0duq5",
                                      "dr5regw3pp",  "9q8yyk8ytp",  "xn774c06kf", "r3gx2f77bn"};

double quantize(double v) { return std::round(v * 100) / 100; }

void put_f64(std::string& out, double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  put_u64(out, bits);
}

void put_text(std::string& out, const std::string& text) {
  put_u32(out, static_cast<std::uint32_t>(text.size()));
  out += text;
}

void put_optional(std::string& out, const std::optional<std::string>& text) {
  if (text) {
    put_text(out, *text);
  } else {
    put_u32(out, 0xFFFFFFFF);
  }
}

void json_string(std::string& out, const std::string& text) {
  out += '"';
  out += text;  // the fleet's texts need no escapes
  out += '"';
}

void json_number(std::string& out, double v) {
  char buf[32];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

std::string config_record(std::uint32_t precision,
                          std::initializer_list<std::pair<const char*, const char*>> units,
                          std::initializer_list<std::pair<const char*, const char*>> states) {
  std::string c;
  put_u32(c, precision);
  c += '\1';  // millisecond timestamps
  put_u32(c, static_cast<std::uint32_t>(units.size()));
  for (auto [name, code] : units) put_text(c, name), put_text(c, code);
  put_u32(c, static_cast<std::uint32_t>(states.size()));
  for (auto [name, code] : states) put_text(c, name), put_text(c, code);
  return c;
}

}  // namespace

struct Fleet::Device {
  std::uint32_t aid;
  std::string id;
  std::string state = "online";
  std::vector<Reading> readings;
};

Fleet::Fleet(std::uint64_t seed) : state_(seed) {
  for (int d = 0; d < FleetRates::kDevices; ++d) {
    Device device{1001u + static_cast<std::uint32_t>(d), "dev-" + std::to_string(d + 1), "online", {}};
    const int sensors = 3 + d % 3;
    for (int s = 0; s < sensors; ++s) {
      const SensorKind& k = kKinds[(d + s) % kKindCount];
      device.readings.push_back({k.id, "ok", quantize(k.start + k.step * (d - 4)), k.unit});
    }
    devices_.push_back(std::move(device));
  }
}

double Fleet::uniform() {
  // splitmix64: the same sequence everywhere, unlike the standard distributions.
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-53;
}

Fact Fleet::next() {
  Device& d = devices_[static_cast<std::size_t>(turn_)];
  if (d.state == "online" ? uniform() < FleetRates::kNodeDegrades : uniform() < FleetRates::kNodeRecovers)
    d.state = d.state == "online" ? "degraded" : "online";
  for (std::size_t i = 0; i < d.readings.size(); ++i) {
    Reading& r = d.readings[i];
    const double step = kKinds[(static_cast<std::size_t>(turn_) + i) % kKindCount].step;
    if (uniform() < FleetRates::kValueDrift) {
      const int steps = 1 + static_cast<int>(uniform() * 3);
      r.value = quantize(r.value + (uniform() < 0.5 ? -steps : steps) * step);
    }
    if (uniform() < FleetRates::kReadingStateFlip) r.state = r.state == "ok" ? "warn" : "ok";
  }

  Fact f;
  f.aid = d.aid;
  f.id = d.id;
  f.state = d.state;
  f.timestamp = 1700000000.0 + static_cast<double>(round_) + 0.125 * turn_;
  f.readings = d.readings;
  f.geohash = kGeohashes[turn_];
  if (uniform() < FleetRates::kMessage) f.msg = kMessages[static_cast<int>(uniform() * 3)];
  if (uniform() < FleetRates::kUrl) f.url = "https://fleet.example.net/status/" + d.id;

  if (++turn_ == FleetRates::kDevices) {
    turn_ = 0;
    ++round_;
  }
  return f;
}

std::vector<Fact> fleet_facts(std::uint64_t seed, std::size_t count) {
  Fleet fleet(seed);
  std::vector<Fact> facts;
  facts.reserve(count);
  for (std::size_t i = 0; i < count; ++i) facts.push_back(fleet.next());
  return facts;
}

Fact sixteen_reading_fact() {
  Fact f{1017, "dev-17", "online", 1700000123.5, {}, std::string("u4pruydqqvj"), {}, {}};
  for (int i = 0; i < 16; ++i) {
    const SensorKind& k = kKinds[i % kKindCount];
    f.readings.push_back({std::string(k.id) + std::to_string(i / kKindCount + 1), "ok",
                          quantize(k.start + 0.37 * i), k.unit});
  }
  return f;
}

std::string example_config() { return config_record(2, {{"celsius", "c1"}}, {{"online", "1"}, {"ok", "0"}}); }

Fact example_fact() {
  return {305419896, "node7", "ONLINE", 1700000000.0,
          {{"t1", "OK", 21.5, "Celsius"}, {"h", "ok", 1000.0, "m/s2"}, {"d", "ok", -0.125, "1000m"}},
          std::string("hi"), std::string("https://s1"), std::string("xyz")};
}

std::string fleet_config() {
  return config_record(2, {{"celsius", "c1"}, {"%", "pc"}, {"hpa", "hP"}},
                       {{"online", "1"}, {"ok", "0"}, {"warn", "2"}, {"degraded", "3"}});
}

std::string fact_record(const Fact& f) {
  std::string r;
  put_text(r, f.id);
  put_text(r, f.state);
  put_f64(r, f.timestamp);
  put_u32(r, static_cast<std::uint32_t>(f.readings.size()));
  for (const Reading& x : f.readings) {
    put_text(r, x.id);
    put_text(r, x.state);
    put_f64(r, x.value);
    put_text(r, x.unit);
  }
  put_optional(r, f.geohash);
  put_optional(r, f.url);
  put_optional(r, f.msg);
  return r;
}

std::string fact_json(const Fact& f) {
  std::string j;
  append_fact_json(j, f);
  return j;
}

void append_fact_json(std::string& j, const Fact& f) {
  j += "{\"id\":";
  json_string(j, f.id);
  j += ",\"s\":";
  json_string(j, f.state);
  j += ",\"ts\":";
  json_number(j, f.timestamp);
  j += ",\"readings\":[";
  for (std::size_t i = 0; i < f.readings.size(); ++i) {
    const Reading& r = f.readings[i];
    if (i) j += ',';
    j += "{\"id\":";
    json_string(j, r.id);
    j += ",\"s\":";
    json_string(j, r.state);
    j += ",\"v\":";
    json_number(j, r.value);
    j += ",\"u\":";
    json_string(j, r.unit);
    j += '}';
  }
  j += ']';
  if (f.geohash) j += ",\"geohash\":", json_string(j, *f.geohash);
  if (f.url) j += ",\"url\":", json_string(j, *f.url);
  if (f.msg) j += ",\"msg\":", json_string(j, *f.msg);
  j += '}';
}

void put_u32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(v >> shift);
}

void put_u64(std::string& out, std::uint64_t v) {
  for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>(v >> shift);
}

}  // namespace bench
