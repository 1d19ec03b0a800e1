// What the gateway owes before it may acknowledge: the publishes not yet confirmed, by
// publish number, and per partition the highest delivery tag decoded since the last
// checkpoint; and when the next checkpoint is due.
//
// A checkpoint stops decoding, waits until every publish is confirmed, saves the changed
// registry files of the partitions' contexts and only then acknowledges each partition's
// channel with `multiple` up to its highest decoded tag: deliveries of a channel are decoded
// in tag order, so every lower tag was decoded too. Packets redelivered after a save whose
// acks were lost answer "already applied" from the files, as long as no device received
// more packets since its last checkpoint than the library remembers per device; the
// tracker asks for a checkpoint before any device passes half that window.
// Single-threaded: the loop's.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "gateway_decoder.h"

namespace tavkin {

struct CheckpointPolicy {
  std::uint32_t packets = 2000;                  // decoded packets
  std::chrono::microseconds after{100'000};      // after the first decode not yet saved
  std::uint32_t per_device = 32;                 // packets of one device
};

class CheckpointTracker {
 public:
  using Clock = std::chrono::steady_clock;
  CheckpointTracker(std::uint32_t partitions, CheckpointPolicy policy)
      : policy_(policy), decoded_tag_(partitions) {}

  // --- publishes (numbered from 1 per session, as confirm mode numbers them)
  void published(Publish publish);
  // A confirm: every number up to `number` with `multiple`, else that one.
  void confirmed(std::uint64_t number, bool multiple);
  // A reject: the publishes to make again (they leave the tracker; publish them anew).
  [[nodiscard]] std::vector<Publish> rejected(std::uint64_t number, bool multiple);
  [[nodiscard]] bool all_confirmed() const { return unconfirmed_ == 0; }
  [[nodiscard]] std::size_t unconfirmed() const { return unconfirmed_; }

  // --- decodes
  // Whether a message with packets of `devices` may be decoded before the next checkpoint.
  [[nodiscard]] bool fits_window(std::span<const std::uint32_t> devices) const;
  void decoded(std::uint32_t partition, std::uint64_t tag, std::span<const std::uint32_t> devices,
               std::size_t packets, Clock::time_point now);
  [[nodiscard]] bool due(Clock::time_point now) const { return due_for(now) != nullptr; }
  // Why a checkpoint is due ("packets", "device window", "time"); nullptr when it is not.
  [[nodiscard]] const char* due_for(Clock::time_point now) const;
  // When the time trigger fires, if anything waits for a checkpoint.
  [[nodiscard]] std::optional<Clock::time_point> deadline() const;
  [[nodiscard]] bool anything_decoded() const { return first_undurable_.has_value(); }
  // Per partition with decoded unacknowledged messages: its highest decoded tag.
  [[nodiscard]] std::vector<std::pair<std::uint32_t, std::uint64_t>> acks_due() const;

  // --- checkpoints
  // The files are saved and the acks sent: start counting afresh.
  void checkpointed();
  // The save failed: keep everything owed, and count time and packets afresh.
  void save_failed(Clock::time_point now);
  // The session ended: nothing is owed on it any more.
  void clear();

 private:
  struct Pending {
    Publish publish;
    bool settled = false;
  };
  void settle(Pending& p);

  CheckpointPolicy policy_;
  std::deque<Pending> pending_;  // publish numbers first_ .. first_ + size - 1
  std::uint64_t first_ = 1;
  std::size_t unconfirmed_ = 0;
  std::vector<std::optional<std::uint64_t>> decoded_tag_;
  std::unordered_map<std::uint32_t, std::uint32_t> per_device_;
  std::uint32_t max_per_device_ = 0;
  std::uint64_t packets_ = 0;
  std::optional<Clock::time_point> first_undurable_;
};

}  // namespace tavkin
