// A progress bar on standard error, drawn only when it is a terminal and the run has
// lasted long enough to be worth one; erased when done. Single-threaded.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

namespace tavkin {

class Progress {
 public:
  Progress(std::string_view label, std::uint64_t total, bool enabled);
  ~Progress();
  void update(std::uint64_t done);
  void finish();  // erases the bar, if one was drawn

 private:
  using Clock = std::chrono::steady_clock;
  std::string_view label_;
  std::uint64_t total_;
  bool enabled_;
  bool drawn_ = false;
  Clock::time_point start_ = Clock::now();
  Clock::time_point last_draw_{};
};

}  // namespace tavkin
