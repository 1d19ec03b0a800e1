// The gateway's partitions within one broker session: each has its channel, its lock
// (partition_fence.h), its library context and the deliveries not yet decoded, in
// delivery order. A partition's context is dropped when its lock is taken and when the
// session ends, so that nothing decoded after the last checkpoint outlives the session:
// the next decode loads the device files as the last checkpoint left them.
// Single-threaded: the loop's.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "gateway.h"
#include "gateway_counters.h"
#include "partition_fence.h"

namespace tavkin {

inline constexpr std::uint16_t kPublishChannel = 1;
inline constexpr std::uint16_t kAdminChannel = 2;
inline constexpr std::uint16_t kFirstPartitionChannel = 10;  // partition k on channel 10 + k

struct Delivery {
  std::uint32_t partition = 0;
  std::uint64_t tag = 0;
  bool redelivered = false;
  std::string routing_key;
  std::string body;
};

class Partitions {
 public:
  using Log = std::function<void(const std::string&)>;
  Partitions(const GatewayOptions& options, Log log);
  ~Partitions() { end_session(); }
  Partitions(const Partitions&) = delete;
  Partitions& operator=(const Partitions&) = delete;

  // Contexts of a session are its own: a gateway that reconnects must not reuse templates
  // that another gateway may have moved on meanwhile.
  void start_session(std::uint64_t session);
  // Drops every context and lock and forgets the waiting deliveries (the broker gives them
  // to the next consumer).
  void end_session();

  [[nodiscard]] std::uint32_t count() const { return static_cast<std::uint32_t>(parts_.size()); }
  [[nodiscard]] std::uint64_t context(std::uint32_t k) const { return context_base_ + k; }
  [[nodiscard]] std::string queue(std::uint32_t k) const;
  [[nodiscard]] static std::uint16_t channel(std::uint32_t k) { return static_cast<std::uint16_t>(kFirstPartitionChannel + k); }
  // The partition of a channel, if it is one.
  [[nodiscard]] std::optional<std::uint32_t> of_channel(std::uint16_t channel) const;

  // Counts a delivery; true when it is the partition's first in this session.
  bool note_delivery(std::uint32_t k);
  [[nodiscard]] std::deque<Delivery>& waiting(std::uint32_t k) { return parts_[k].waiting; }
  [[nodiscard]] std::size_t waiting_total() const;

  // Takes the partition's lock if it is free (dropping its context when it does); false
  // while another gateway holds it.
  bool hold(std::uint32_t k);
  [[nodiscard]] bool held(std::uint32_t k) const { return parts_[k].lock.held(); }

  [[nodiscard]] std::vector<PartitionStatus>& status() { return status_; }
  [[nodiscard]] const std::vector<PartitionStatus>& status() const { return status_; }

 private:
  struct Part {
    PartitionLock lock;
    std::deque<Delivery> waiting;
    std::optional<std::chrono::steady_clock::time_point> waiting_since;
  };
  const GatewayOptions& options_;
  Log log_;
  std::vector<Part> parts_;
  std::vector<PartitionStatus> status_;
  std::uint64_t context_base_ = 0;
};

}  // namespace tavkin
