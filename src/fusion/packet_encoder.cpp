#include "fusion/packet_encoder.h"

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fusion/diff_mask.h"
#include "support/small_copy.h"
#include "wire/command.h"

namespace vm {
namespace {

static_assert(16 + kMaxDiffValues * (1 + kMaxDiffValueSize) <= std::numeric_limits<std::uint32_t>::max(),
              "a difference body always fits its 32-bit length");

// Values are a few bytes; comparing them as words avoids a library call per value.
bool same_value(const std::string& stored, std::string_view value) noexcept {
  return stored.size() == value.size() && same_bytes(stored.data(), value.data(), value.size());
}

// Makes `stored` equal to `values`, assigning into the existing strings so that an
// unchanged or slightly changed list costs no allocation. True when anything changed.
bool store_whole(std::vector<std::string>& stored, std::span<const std::string_view> values) {
  bool changed = stored.size() != values.size();
  stored.resize(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!same_value(stored[i], values[i])) {
      stored[i].assign(values[i]);
      changed = true;
    }
  }
  return changed;
}

// Same count, at most 128 values. The changes are committed only once the packet is
// sure to be sent, so a refusal leaves the template exactly as the receiver holds it.
std::optional<FusionDecision> encode_difference(TemplateId tid, std::uint8_t base_flags,
                                                std::vector<std::string>& stored,
                                                std::span<const std::string_view> values, std::string& body) {
  const std::size_t n = values.size();
  DiffMask mask = 0;
  std::size_t change_bytes = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (same_value(stored[i], values[i])) continue;
    if (values[i].size() > kMaxDiffValueSize) return std::nullopt;
    mask |= DiffMask{1} << i;
    change_bytes += 1 + values[i].size();
  }
  if (mask == 0) return FusionDecision{DATA_HEART, tid, base_flags, {}};

  const std::size_t mask_bytes = mask_size(n);
  FusionDecision decision{DATA_DIFF, tid, static_cast<std::uint8_t>(base_flags | DECISION_STATE_CHANGED), {}};
  body.resize(mask_bytes + change_bytes);
  char* p = write_mask(mask, mask_bytes, body.data());
  for (DiffMask rest = mask; rest != 0; rest &= rest - 1) {
    const int i = lowest_set_bit(rest);
    const std::string_view value = values[i];
    *p++ = static_cast<char>(value.size());
    if (!value.empty()) std::memcpy(p, value.data(), value.size());
    p += value.size();
    stored[i].assign(value);
  }
  return decision;
}

std::optional<FusionDecision> decide(AssignedTemplate assigned, std::uint8_t base, bool force_full,
                                     std::vector<std::string>& stored,
                                     std::span<const std::string_view> values, std::string& body) {
  // A new signature travels whole even without values: the receiver can rebuild a
  // heartbeat or a difference only for a template that a full packet taught it. (Its
  // number may also have belonged to another signature whose values are still stored.)
  const bool whole = force_full || assigned.is_new || stored.size() != values.size();
  // Beyond 128 values no mask can mark a change, so any change sends the template whole.
  if (whole || values.size() > kMaxDiffValues) {
    const bool changed = store_whole(stored, values);
    if (!whole && !changed) return FusionDecision{DATA_HEART, assigned.tid, base, {}};
    const std::uint8_t flags = base | DECISION_FULL_BODY | (changed ? DECISION_STATE_CHANGED : 0);
    return FusionDecision{DATA_FULL, assigned.tid, flags, {}};
  }
  return encode_difference(assigned.tid, base, stored, values, body);
}

}  // namespace

std::optional<FusionDecision> encode(TemplateRegistry& registry, DeviceId aid, bool force_full,
                                     std::string_view sig, std::span<const std::string_view> values) {
  std::string body;
  std::optional<FusionDecision> decision = encode_into(registry, aid, force_full, sig, values, body);
  if (decision) decision->body = std::move(body);
  return decision;
}

std::optional<FusionDecision> encode_into(TemplateRegistry& registry, DeviceId aid, bool force_full,
                                          std::string_view sig, std::span<const std::string_view> values,
                                          std::string& body, EncodeFor target) {
  return encode_into(device_for(registry, aid), force_full, sig, values, body, target);
}

std::optional<FusionDecision> encode_into(DeviceTemplates& device, bool force_full, std::string_view sig,
                                          std::span<const std::string_view> values, std::string& body,
                                          EncodeFor target) {
  body.clear();
  const bool for_packet = target == EncodeFor::packet;
  const AssignedTemplate assigned = for_packet ? assign_packet_tid(device, sig) : assign_tid(device, sig);
  const std::uint8_t base = assigned.is_new ? DECISION_NEW_TEMPLATE : 0;
  std::vector<std::string>& stored = device.last_vals[assigned.tid];
  TemplateUse* use = for_packet ? &device.use.at(assigned.tid) : nullptr;
  if (use != nullptr && use->whole_due) force_full = true;

  std::optional<FusionDecision> decision = decide(assigned, base, force_full, stored, values, body);
  // Cleared as the packet is made: the request that hands it out sets it again when its
  // answer does not reach the caller (mark_whole_due), under the same lock.
  if (decision && use != nullptr) {
    use->whole_due = false;
    use->last_used = ++device.use_clock;
  }
  return decision;
}

}  // namespace vm
