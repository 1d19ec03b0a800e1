// A simulated sensor fleet for the demo: devices with a few sensors each, in realistic
// units, whose values drift, whose states change now and then, and which now and then
// attach a message or a link. A moving fleet also has devices that move (a new geohash
// with every fact, so a new template each time) and devices that talk (a free-text
// message with most facts). Deterministic for a given seed. Single-threaded.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fact.h"

namespace tavkin {

class Fleet {
 public:
  Fleet(std::uint32_t devices, std::uint64_t seed, bool moving = false);

  // The next report of a randomly chosen device (its `aid` is set).
  [[nodiscard]] Fact next();

  // The configuration the fleet's compressor uses: two decimals, timestamps in
  // milliseconds, short codes for its units and states.
  [[nodiscard]] static CompressorSettings compressor_settings();

 private:
  struct Sensor {
    std::string id;
    std::string unit;
    double value;
    double mean;
    double step;      // spread of one drift step
    double quantum;   // the resolution the sensor reports in
    std::string state = "ok";
  };
  struct Device {
    std::uint32_t aid;
    std::string name;
    std::string geohash;
    std::string state = "online";
    double clock;  // seconds
    std::vector<Sensor> sensors;
    enum class Habit { stays, moves, talks } habit = Habit::stays;
  };

  Device make_device(std::uint32_t index, bool moving);
  std::string random_geohash();
  double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
  bool chance(double p) { return uniform(0, 1) < p; }

  std::mt19937_64 rng_;
  std::vector<Device> devices_;
};

}  // namespace tavkin
