// The gateway's checkpoint bookkeeping; see gateway_checkpoints.h.
#include "gateway_checkpoints.h"

#include <algorithm>

namespace tavkin {

void CheckpointTracker::published(Publish publish) {
  pending_.push_back({std::move(publish), false});
  ++unconfirmed_;
}

void CheckpointTracker::settle(Pending& p) {
  if (p.settled) return;
  p.settled = true;
  p.publish = Publish{};
  --unconfirmed_;
}

void CheckpointTracker::confirmed(std::uint64_t number, bool multiple) {
  if (pending_.empty()) return;
  if (number < first_ || number >= first_ + pending_.size()) {
    if (!multiple || number < first_) return;
    number = first_ + pending_.size() - 1;
  }
  const std::size_t last = number - first_;
  for (std::size_t i = multiple ? 0 : last; i <= last; ++i) settle(pending_[i]);
  while (!pending_.empty() && pending_.front().settled) {
    pending_.pop_front();
    ++first_;
  }
}

std::vector<Publish> CheckpointTracker::rejected(std::uint64_t number, bool multiple) {
  std::vector<Publish> again;
  if (pending_.empty() || number < first_) return again;
  const std::size_t last = std::min<std::size_t>(number - first_, pending_.size() - 1);
  for (std::size_t i = multiple ? 0 : last; i <= last; ++i) {
    if (pending_[i].settled) continue;
    again.push_back(std::move(pending_[i].publish));
    settle(pending_[i]);
  }
  while (!pending_.empty() && pending_.front().settled) {
    pending_.pop_front();
    ++first_;
  }
  return again;
}

bool CheckpointTracker::fits_window(std::span<const std::uint32_t> devices) const {
  if (per_device_.empty()) return true;  // right after a checkpoint anything fits
  std::unordered_map<std::uint32_t, std::uint32_t> adding;
  for (const std::uint32_t d : devices) ++adding[d];
  for (const auto& [device, n] : adding) {
    const auto it = per_device_.find(device);
    if (it != per_device_.end() && it->second + n > policy_.per_device) return false;
  }
  return true;
}

void CheckpointTracker::decoded(std::uint32_t partition, std::uint64_t tag, std::span<const std::uint32_t> devices,
                                std::size_t packets, Clock::time_point now) {
  auto& highest = decoded_tag_[partition];
  highest = std::max(highest.value_or(0), tag);
  for (const std::uint32_t d : devices) max_per_device_ = std::max(max_per_device_, ++per_device_[d]);
  packets_ += packets;
  if (!first_undurable_) first_undurable_ = now;
}

const char* CheckpointTracker::due_for(Clock::time_point now) const {
  if (!first_undurable_) return nullptr;
  if (packets_ >= policy_.packets) return "packets";
  if (max_per_device_ >= policy_.per_device) return "device window";
  if (now >= *deadline()) return "time";
  return nullptr;
}

std::optional<CheckpointTracker::Clock::time_point> CheckpointTracker::deadline() const {
  if (!first_undurable_) return std::nullopt;
  return *first_undurable_ + std::chrono::duration_cast<Clock::duration>(policy_.after);
}

std::vector<std::pair<std::uint32_t, std::uint64_t>> CheckpointTracker::acks_due() const {
  std::vector<std::pair<std::uint32_t, std::uint64_t>> acks;
  for (std::uint32_t k = 0; k < decoded_tag_.size(); ++k) {
    if (decoded_tag_[k]) acks.emplace_back(k, *decoded_tag_[k]);
  }
  return acks;
}

void CheckpointTracker::checkpointed() {
  std::fill(decoded_tag_.begin(), decoded_tag_.end(), std::nullopt);
  per_device_.clear();
  max_per_device_ = 0;
  packets_ = 0;
  first_undurable_.reset();
}

void CheckpointTracker::save_failed(Clock::time_point now) {
  packets_ = 0;
  first_undurable_ = now;
}

void CheckpointTracker::clear() {
  checkpointed();
  pending_.clear();
  first_ = 1;
  unconfirmed_ = 0;
}

}  // namespace tavkin
