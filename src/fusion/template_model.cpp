#include "fusion/template_model.h"

#include <algorithm>
#include <bitset>
#include <limits>
#include <utility>

#include "fusion/state_check.h"

namespace vm {
namespace {

constexpr std::uint32_t kMaxTid = std::numeric_limits<std::uint32_t>::max();

constexpr std::uint32_t successor(std::uint32_t tid) noexcept { return tid == kMaxTid ? kMaxTid : tid + 1; }

// Gives `tid` the signature `sig` in both directions. A signature that loses its tid to
// another is forgotten: left in sig_to_tid it would be encoded against the other
// signature's values under a number that the receiver rebuilds with the other signature.
void forget_signature_crc(DeviceTemplates& device, TemplateId tid) noexcept {
  std::erase_if(device.sig_crcs, [tid](const auto& entry) { return entry.first == tid; });
}

void bind_signature(DeviceTemplates& device, TemplateId tid, std::string_view sig) {
  device.memo_valid = false;
  forget_signature_crc(device, tid);
  auto [slot, inserted] = device.tid_to_sig.try_emplace(tid);
  if (!inserted && slot->second != sig) {
    if (auto old = device.sig_to_tid.find(slot->second);
        old != device.sig_to_tid.end() && old->second == tid) {
      device.sig_to_tid.erase(old);
    }
  }
  slot->second.assign(sig);
  if (auto it = device.sig_to_tid.find(sig); it != device.sig_to_tid.end()) {
    it->second = tid;
  } else {
    device.sig_to_tid.emplace(std::string(sig), tid);
  }
}

void remember(DeviceTemplates& device, std::string_view sig, TemplateId tid) {
  device.memo_sig.assign(sig);
  device.memo_tid = tid;
  device.memo_valid = true;
}

// The number a new signature takes once next_tid is past what a packet carries: a free
// one when an older file left gaps, else the least recently used template's.
TemplateId reusable_packet_tid(const DeviceTemplates& device) {
  std::bitset<kMaxPacketTemplateId + 1> taken;
  std::uint32_t oldest = 0;
  std::uint64_t oldest_use = std::numeric_limits<std::uint64_t>::max();
  for (const auto& [tid, sig] : device.tid_to_sig) {
    const std::uint32_t number = raw(tid);
    if (number > kMaxPacketTemplateId) continue;
    taken.set(number);
    const TemplateUse* use = device.use.find(tid);
    const std::uint64_t last_used = use == nullptr ? 0 : use->last_used;
    if (last_used < oldest_use || (last_used == oldest_use && number < oldest)) {
      oldest = number;
      oldest_use = last_used;
    }
  }
  for (std::uint32_t number = kFirstTemplateId; number <= kMaxPacketTemplateId; ++number) {
    if (!taken.test(number)) return TemplateId{number};
  }
  return TemplateId{oldest};
}

bool before(const std::pair<TemplateId, TemplateUse>& entry, TemplateId tid) noexcept {
  return raw(entry.first) < raw(tid);
}

}  // namespace

TemplateUse& TemplateUses::at(TemplateId tid) {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), tid, before);
  if (it == entries_.end() || it->first != tid) it = entries_.insert(it, {tid, TemplateUse{}});
  return it->second;
}

const TemplateUse* TemplateUses::find(TemplateId tid) const noexcept {
  const auto it = std::lower_bound(entries_.begin(), entries_.end(), tid, before);
  return it == entries_.end() || it->first != tid ? nullptr : &it->second;
}

void TemplateUses::erase(TemplateId tid) noexcept {
  const auto it = std::lower_bound(entries_.begin(), entries_.end(), tid, before);
  if (it != entries_.end() && it->first == tid) entries_.erase(it);
}

DeviceTemplates& device_for(TemplateRegistry& registry, DeviceId aid) {
  return registry.devices[aid];
}

void mark_unsaved(TemplateRegistry& registry, DeviceId aid, DeviceTemplates& device) {
  if (device.unsaved) return;
  device.unsaved = true;
  registry.unsaved.push_back(aid);
}

DeviceTemplates* find_device(TemplateRegistry& registry, DeviceId aid) noexcept {
  auto it = registry.devices.find(aid);
  return it == registry.devices.end() ? nullptr : &it->second;
}

const DeviceTemplates* find_device(const TemplateRegistry& registry, DeviceId aid) noexcept {
  auto it = registry.devices.find(aid);
  return it == registry.devices.end() ? nullptr : &it->second;
}

AssignedTemplate assign_tid(DeviceTemplates& device, std::string_view sig) {
  if (device.memo_valid && device.memo_sig == sig) return {device.memo_tid, false};
  AssignedTemplate assigned{};
  if (auto it = device.sig_to_tid.find(sig); it != device.sig_to_tid.end()) {
    assigned = {it->second, false};
  } else {
    assigned = {TemplateId{device.next_tid}, true};
    device.next_tid = successor(device.next_tid);
    bind_signature(device, assigned.tid, sig);
  }
  remember(device, sig, assigned.tid);
  return assigned;
}

AssignedTemplate assign_packet_tid(DeviceTemplates& device, std::string_view sig) {
  if (device.memo_valid && device.memo_sig == sig && raw(device.memo_tid) <= kMaxPacketTemplateId)
    return {device.memo_tid, false};
  if (auto it = device.sig_to_tid.find(sig); it != device.sig_to_tid.end()) {
    const TemplateId known = it->second;
    if (raw(known) <= kMaxPacketTemplateId) {
      remember(device, sig, known);
      return {known, false};
    }
    forget_template(device, known);
  }
  TemplateId tid{device.next_tid};
  if (device.next_tid <= kMaxPacketTemplateId) {
    device.next_tid = successor(device.next_tid);
  } else {
    tid = reusable_packet_tid(device);
    forget_template(device, tid);
  }
  bind_signature(device, tid, sig);
  remember(device, sig, tid);
  return {tid, true};
}

void forget_template(DeviceTemplates& device, TemplateId tid) {
  device.memo_valid = false;
  if (auto named = device.tid_to_sig.find(tid); named != device.tid_to_sig.end()) {
    if (auto back = device.sig_to_tid.find(named->second);
        back != device.sig_to_tid.end() && back->second == tid) {
      device.sig_to_tid.erase(back);
    }
    device.tid_to_sig.erase(named);
  }
  device.last_vals.erase(tid);
  device.use.erase(tid);
  std::erase(device.diverged, tid);
  forget_signature_crc(device, tid);
}

std::uint32_t cached_signature_crc(DeviceTemplates& device, TemplateId tid, std::string_view sig) {
  for (const auto& [known, crc] : device.sig_crcs)
    if (known == tid) return crc;
  const std::uint32_t crc = signature_crc(sig);
  device.sig_crcs.emplace_back(tid, crc);
  return crc;
}

bool is_diverged(const DeviceTemplates& device, TemplateId tid) noexcept {
  return !device.diverged.empty() && std::find(device.diverged.begin(), device.diverged.end(), tid) != device.diverged.end();
}

void mark_diverged(DeviceTemplates& device, TemplateId tid) {
  if (!is_diverged(device, tid)) device.diverged.push_back(tid);
}

void mark_loaded(DeviceTemplates& device) {
  for (const auto& [tid, sig] : device.tid_to_sig) device.use.at(tid).whole_due = true;
  for (const auto& [tid, values] : device.last_vals) device.use.at(tid).whole_due = true;
}

void mark_whole_due(DeviceTemplates& device, TemplateId tid) {
  if (device.tid_to_sig.contains(tid)) device.use.at(tid).whole_due = true;
}

void learn_template(DeviceTemplates& device, TemplateId tid, std::string_view sig,
                    std::vector<std::string> values) {
  bind_signature(device, tid, sig);
  device.last_vals[tid] = std::move(values);
  if (!device.diverged.empty()) std::erase(device.diverged, tid);
}

void learn_template_from_views(DeviceTemplates& device, TemplateId tid, std::string_view sig,
                               std::span<const std::string_view> values) {
  bind_signature(device, tid, sig);
  if (!device.diverged.empty()) std::erase(device.diverged, tid);
  std::vector<std::string>& stored = device.last_vals[tid];
  stored.resize(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) stored[i].assign(values[i]);
}

void raise_next_tid(DeviceTemplates& device, TemplateId tid) noexcept {
  device.next_tid = std::max(device.next_tid, successor(raw(tid)));
}

DeviceTemplates seeded_device(std::vector<SeedEntry> entries) {
  DeviceTemplates device;
  device.next_tid = 1;
  bool any = false;
  std::uint32_t largest = 0;
  for (SeedEntry& e : entries) {
    learn_template(device, e.tid, e.sig, std::move(e.values));
    largest = any ? std::max(largest, raw(e.tid)) : raw(e.tid);
    any = true;
  }
  if (any) device.next_tid = successor(largest);
  return device;
}

void seed_device(TemplateRegistry& registry, DeviceId aid, std::vector<SeedEntry> entries) {
  registry.devices[aid] = seeded_device(std::move(entries));
}

}  // namespace vm
