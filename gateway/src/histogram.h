// A histogram of observations over fixed upper bounds, as the metrics endpoint exposes
// them: a count per bucket, the number of observations and their sum. The bounds are a
// static array the histogram only points to, so copying one into a snapshot copies a few
// counts. Single-threaded: its owner's.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace tavkin {

class Histogram {
 public:
  // `bounds` ascending, with static storage; values above the last go to +Inf.
  explicit Histogram(std::span<const double> bounds) : bounds_(bounds), buckets_(bounds.size() + 1, 0) {}

  void observe(double value) {
    const auto at = std::lower_bound(bounds_.begin(), bounds_.end(), value) - bounds_.begin();
    ++buckets_[static_cast<std::size_t>(at)];
    ++count_;
    sum_ += value;
  }

  [[nodiscard]] std::span<const double> bounds() const { return bounds_; }
  // Observations at most bounds()[i] and above the bound before it; the last is +Inf's own.
  [[nodiscard]] const std::vector<std::uint64_t>& buckets() const { return buckets_; }
  [[nodiscard]] std::uint64_t count() const { return count_; }
  [[nodiscard]] double sum() const { return sum_; }

 private:
  std::span<const double> bounds_;
  std::vector<std::uint64_t> buckets_;
  std::uint64_t count_ = 0;
  double sum_ = 0;
};

}  // namespace tavkin
