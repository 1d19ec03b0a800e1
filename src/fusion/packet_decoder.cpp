#include "fusion/packet_decoder.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "fusion/diff_mask.h"
#include "fusion/packet_encoder.h"
#include "fusion/state_check.h"
#include "signature/signature_format.h"
#include "support/small_copy.h"
#include "wire/command.h"

namespace vm {
namespace {

// Whether rebuild_fact succeeds for `sig` and `value_count` values, whatever they hold.
bool can_rebuild(std::string_view sig, std::size_t value_count) noexcept {
  return sig.find(kTimestampMark) != std::string_view::npos &&
         static_cast<std::size_t>(std::count(sig.begin(), sig.end(), kValueSlot)) >= value_count;
}

// Copies `part` to `w`, putting values[next], values[next + 1], ... in place of its slot
// bytes while values remain; returns the end.
char* fill_slots(std::string_view part, std::span<const std::string> values, std::size_t& next, char* w) {
  while (next < values.size()) {
    const void* slot = std::memchr(part.data(), kValueSlot, part.size());
    if (slot == nullptr) break;
    const auto before = static_cast<std::size_t>(static_cast<const char*>(slot) - part.data());
    copy_text(w, part.data(), before);
    w += before;
    const std::string& value = values[next++];
    copy_text(w, value.data(), value.size());
    w += value.size();
    part.remove_prefix(before + 1);
  }
  copy_text(w, part.data(), part.size());
  return w + part.size();
}

// The mask of a difference body for `n` stored values, when the body holds every change it
// names; the changes start right after the mask.
std::optional<DiffMask> read_difference(std::size_t n, std::string_view body) {
  if (n > kMaxDiffValues) return std::nullopt;
  const std::size_t mask_bytes = mask_size(n);
  if (body.size() < mask_bytes) return std::nullopt;
  DiffMask mask = read_mask(body.substr(0, mask_bytes));
  if (n < kMaxDiffValues) mask &= (DiffMask{1} << n) - 1;  // bits past the last value are ignored
  std::size_t p = mask_bytes;
  for (DiffMask rest = mask; rest != 0; rest &= rest - 1) {
    if (p >= body.size()) return std::nullopt;
    const std::size_t k = static_cast<std::uint8_t>(body[p]);
    if (body.size() - p - 1 < k) return std::nullopt;
    p += 1 + k;
  }
  return mask;
}

// Calls f(position, new value) for each change of a body that read_difference accepted.
template <class F>
void for_each_change(std::size_t n, std::string_view body, DiffMask mask, F&& f) {
  std::size_t p = mask_size(n);
  for (DiffMask rest = mask; rest != 0; rest &= rest - 1) {
    const std::size_t k = static_cast<std::uint8_t>(body[p]);
    f(static_cast<std::size_t>(lowest_set_bit(rest)), body.substr(p + 1, k));
    p += 1 + k;
  }
}

// Applies a difference body to `stored`. The whole body is checked before the first
// value is replaced, so a refused body changes nothing.
bool apply_difference(std::vector<std::string>& stored, std::string_view body) {
  const std::optional<DiffMask> mask = read_difference(stored.size(), body);
  if (!mask) return false;
  for_each_change(stored.size(), body, *mask, [&stored](std::size_t i, std::string_view v) { stored[i].assign(v); });
  return true;
}

}  // namespace

bool rebuild_fact(std::string_view sig, std::string_view ts_text, std::span<const std::string> values,
                  std::string& out) {
  const std::size_t ts_at = sig.find(kTimestampMark);
  if (ts_at == std::string_view::npos) return false;
  // Sized once for the signature, the timestamp text and every value (slot bytes and the
  // timestamp mark only shrink it), written through a pointer, then cut to size.
  const std::size_t start = out.size();
  std::size_t length = sig.size() + ts_text.size();
  for (const std::string& v : values) length += v.size();
  out.resize(start + length);

  std::size_t next = 0;
  char* w = fill_slots(sig.substr(0, ts_at), values, next, out.data() + start);
  copy_text(w, ts_text.data(), ts_text.size());
  w = fill_slots(sig.substr(ts_at + kTimestampMark.size()), values, next, w + ts_text.size());
  if (next < values.size()) {
    out.resize(start);
    return false;
  }
  out.resize(static_cast<std::size_t>(w - out.data()));
  return true;
}

std::optional<ReceivedTemplate> receive_update(TemplateRegistry& registry, DeviceId aid, std::uint8_t command,
                                              TemplateId tid, std::string_view body) {
  if (command != DATA_HEART && command != DATA_DIFF) return std::nullopt;
  DeviceTemplates* device = find_device(registry, aid);
  if (device == nullptr) return std::nullopt;
  const auto sig = device->tid_to_sig.find(tid);
  if (sig == device->tid_to_sig.end()) return std::nullopt;
  const auto stored = device->last_vals.find(tid);
  if (stored == device->last_vals.end()) return std::nullopt;

  // Checked first so that a packet refused for its signature changes no value either.
  if (!can_rebuild(sig->second, stored->second.size())) return std::nullopt;
  if (command == DATA_DIFF && !apply_difference(stored->second, body)) return std::nullopt;
  return ReceivedTemplate{sig->second, stored->second};
}

CheckedReceive receive_checked_update(TemplateRegistry& registry, DeviceId aid, std::uint8_t command,
                                      TemplateId tid, std::string_view body, ExpectedState expected) {
  constexpr CheckedReceive kRefused{ReceiveStatus::refused, {}};
  if (command != DATA_HEART && command != DATA_DIFF) return kRefused;
  DeviceTemplates* device = find_device(registry, aid);
  if (device == nullptr) return kRefused;
  const auto sig = device->tid_to_sig.find(tid);
  if (sig == device->tid_to_sig.end()) return kRefused;
  const auto stored = device->last_vals.find(tid);
  if (stored == device->last_vals.end()) return kRefused;
  if (!can_rebuild(sig->second, stored->second.size())) return kRefused;
  if (is_diverged(*device, tid)) return {ReceiveStatus::state_mismatch, {}};

  // The state the packet would leave is checked before anything changes.
  std::vector<std::string>& values = stored->second;
  thread_local std::vector<ValueChange> changes;
  changes.clear();
  if (command == DATA_DIFF) {
    const std::optional<DiffMask> mask = read_difference(values.size(), body);
    if (!mask) return kRefused;
    for_each_change(values.size(), body, *mask,
                    [](std::size_t i, std::string_view v) { changes.push_back(ValueChange{i, v}); });
  }
  const std::uint32_t digest =
      template_state_digest(cached_signature_crc(*device, tid, sig->second), std::span<const std::string>(values),
                            std::span<const ValueChange>(changes));
  if (fold_state_check(digest, expected.timestamp) != expected.check) {
    mark_diverged(*device, tid);
    return {ReceiveStatus::state_mismatch, {}};
  }
  for (const ValueChange& c : changes) values[c.index].assign(c.value);
  return {ReceiveStatus::applied, ReceivedTemplate{sig->second, values}};
}

bool receive_apply(TemplateRegistry& registry, DeviceId aid, std::uint8_t command, TemplateId tid,
                   std::string_view ts_text, std::string_view body, std::string& out) {
  const auto received = receive_update(registry, aid, command, tid, body);
  return received && rebuild_fact(received->sig, ts_text, received->values, out);
}

}  // namespace vm
