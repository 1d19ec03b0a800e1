// Fleet test helpers: compact texts of devices that move (a new geohash, so a new
// template, at almost every fact) and of devices that stay, the receiving side that checks
// every answer against the fact that was sent, and registry directories on the fastest
// file system at hand.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "../reliability/request_support.h"

namespace fleet {

using namespace reliability;

// The 8-character timestamp text of a 48-bit timestamp.
inline std::string ts_text(std::uint64_t ts) {
  static constexpr char kUrl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  for (int shift = 42; shift >= 0; shift -= 6) out += kUrl[(ts >> shift) & 63];
  return out;
}

// Fact i of a moving device: a geohash out of `places`, revisiting a few often, so that
// its templates are new, recycled, and now and then reused with changed values.
inline std::string moving_fact(std::uint32_t aid, std::uint64_t i, std::uint64_t places = 1000) {
  const std::uint64_t place = i % 5 == 0 ? i % 3 : (i * 7919) % places;
  return std::to_string(aid) + ";truck.1." + ts_text(1'700'000'000'000 + i) + "|t>0.c:" + std::to_string(i % 17) +
         "|&g" + std::to_string(place) + "|";
}

// Fact i of a device that stays: the same template, values changing now and then.
inline std::string steady_fact(std::uint32_t aid, std::uint64_t i) {
  return std::to_string(aid) + ";pump.1." + ts_text(1'700'000'000'000 + i) + "|t>0.c:" + std::to_string(i / 3 % 11) +
         "|p>0.b:" + std::to_string(i / 7 % 5) + "|";
}

// A registry directory per test, removed afterwards; on tmpfs when the machine has one,
// since these tests save a file per fact.
class Root {
 public:
  explicit Root(const std::string& tag) {
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path();
    path_ = base / ("vm_fleet_" + std::to_string(::getpid()) + "_" + tag);
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~Root() { std::filesystem::remove_all(path_); }
  Root(const Root&) = delete;
  Root& operator=(const Root&) = delete;
  std::string str() const { return path_.string(); }

  // How many templates the device's file holds (each has one "sig" member).
  std::size_t templates_in_file(std::uint32_t aid) const {
    const std::string padded = std::string(10 - std::to_string(aid).size(), '0') + std::to_string(aid);
    std::ifstream in(path_ / padded.substr(0, 2) / padded.substr(2, 2) / (std::to_string(aid) + ".json"));
    std::stringstream s;
    s << in.rdbuf();
    const std::string text = s.str();
    std::size_t count = 0;
    for (std::size_t at = text.find("\"sig\""); at != std::string::npos; at = text.find("\"sig\"", at + 1)) ++count;
    return count;
  }

 private:
  std::filesystem::path path_;
};

// What a receiver made of the packets it was given.
struct Tally {
  std::size_t right = 0;
  std::size_t wrong = 0;       // an answer that is not the fact sent: never acceptable
  std::size_t no_answer = 0;   // an error answer (a template the receiver does not know)
};

// Feeds `packet` to the receiving context and checks its answer against `text`.
inline void receive(std::uint64_t ctx, const std::string& root, const std::string& packet, const std::string& text,
                    Tally& tally) {
  const std::string answer = call(vm_fusion_decompress_json_v1, decompress_request(ctx, packet, root));
  if (answer.rfind("{\"error\"", 0) == 0 || answer.empty()) {
    ++tally.no_answer;
  } else if (without_meta(answer) == json_view(text)) {
    ++tally.right;
  } else {
    ++tally.wrong;
  }
}

}  // namespace fleet
