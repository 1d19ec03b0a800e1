// The gateway's partitions; see gateway_partitions.h.
#include "gateway_partitions.h"

#include <fmt/format.h>

#include "velmarinthos_tavkin.h"

namespace tavkin {
namespace {

// Gateway contexts are numbered from here, away from the tool's other contexts.
constexpr std::uint64_t kContextBase = std::uint64_t{1} << 40;

}  // namespace

Partitions::Partitions(const GatewayOptions& options, Log log)
    : options_(options), log_(std::move(log)), parts_(options.partitions), status_(options.partitions) {}

void Partitions::start_session(std::uint64_t session) { context_base_ = kContextBase + session * parts_.size(); }

void Partitions::end_session() {
  for (std::uint32_t k = 0; k < count(); ++k) {
    vm_context_drop_v1(context(k));
    parts_[k] = Part{};
    status_[k] = PartitionStatus{};
  }
}

std::string Partitions::queue(std::uint32_t k) const { return fmt::format("{}.{}", options_.packets_queue, k); }

std::optional<std::uint32_t> Partitions::of_channel(std::uint16_t channel) const {
  if (channel < kFirstPartitionChannel || channel >= kFirstPartitionChannel + count()) return std::nullopt;
  return static_cast<std::uint32_t>(channel - kFirstPartitionChannel);
}

bool Partitions::note_delivery(std::uint32_t k) {
  if (status_[k].active) return false;
  status_[k].active = true;
  return true;
}

std::size_t Partitions::waiting_total() const {
  std::size_t n = 0;
  for (const Part& p : parts_) n += p.waiting.size();
  return n;
}

bool Partitions::hold(std::uint32_t k) {
  Part& p = parts_[k];
  if (p.lock.held()) return true;
  std::string error;
  if (!p.lock.try_acquire(options_.registry_root, queue(k), error)) {
    if (!p.waiting_since) {  // said once per wait; the lock is tried again every loop
      p.waiting_since = std::chrono::steady_clock::now();
      log_(error.empty() ? fmt::format("partition {} waits until the gateway before lets go of it", k)
                         : fmt::format("partition {} waits: {}", k, error));
    }
    return false;
  }
  if (p.waiting_since) {
    log_(fmt::format("partition {} taken after waiting {:.3f} s", k,
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - *p.waiting_since).count()));
    p.waiting_since.reset();
  }
  // The gateway before may have saved files since this context last loaded them.
  vm_context_drop_v1(context(k));
  return true;
}

}  // namespace tavkin
