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

// Applies a difference body to `stored`. The whole body is checked before the first
// value is replaced, so a refused body changes nothing. With `undo`, the replaced values
// are swapped into it, in mask order, for undo_difference.
bool apply_difference(std::vector<std::string>& stored, std::string_view body,
                      std::vector<std::string>* undo = nullptr) {
  const std::size_t n = stored.size();
  if (n > kMaxDiffValues) return false;
  const std::size_t mask_bytes = mask_size(n);
  if (body.size() < mask_bytes) return false;
  DiffMask mask = read_mask(body.substr(0, mask_bytes));
  if (n < kMaxDiffValues) mask &= (DiffMask{1} << n) - 1;  // bits past the last value are ignored

  std::size_t p = mask_bytes;
  for (DiffMask rest = mask; rest != 0; rest &= rest - 1) {
    if (p >= body.size()) return false;
    const std::size_t k = static_cast<std::uint8_t>(body[p]);
    if (body.size() - p - 1 < k) return false;
    p += 1 + k;
  }
  p = mask_bytes;
  std::size_t saved = 0;
  for (DiffMask rest = mask; rest != 0; rest &= rest - 1) {
    const std::size_t k = static_cast<std::uint8_t>(body[p]);
    std::string& value = stored[lowest_set_bit(rest)];
    if (undo != nullptr) {
      if (undo->size() <= saved) undo->emplace_back();
      value.swap((*undo)[saved++]);
    }
    value.assign(body.substr(p + 1, k));
    p += 1 + k;
  }
  return true;
}

// Puts back the values apply_difference swapped into `undo` for the same body.
void undo_difference(std::vector<std::string>& stored, std::string_view body, std::vector<std::string>& undo) {
  DiffMask mask = read_mask(body.substr(0, mask_size(stored.size())));
  if (stored.size() < kMaxDiffValues) mask &= (DiffMask{1} << stored.size()) - 1;
  std::size_t saved = 0;
  for (DiffMask rest = mask; rest != 0; rest &= rest - 1) stored[lowest_set_bit(rest)].swap(undo[saved++]);
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

  std::vector<std::string>& values = stored->second;
  thread_local std::vector<std::string> undo;
  if (command == DATA_DIFF && !apply_difference(values, body, &undo)) return kRefused;
  const std::uint32_t digest = template_state_digest(cached_signature_crc(*device, tid, sig->second),
                                                      std::span<const std::string>(values));
  if (fold_state_check(digest, expected.timestamp) != expected.check) {
    if (command == DATA_DIFF) undo_difference(values, body, undo);
    mark_diverged(*device, tid);
    return {ReceiveStatus::state_mismatch, {}};
  }
  return {ReceiveStatus::applied, ReceivedTemplate{sig->second, values}};
}

bool receive_apply(TemplateRegistry& registry, DeviceId aid, std::uint8_t command, TemplateId tid,
                   std::string_view ts_text, std::string_view body, std::string& out) {
  const auto received = receive_update(registry, aid, command, tid, body);
  return received && rebuild_fact(received->sig, ts_text, received->values, out);
}

}  // namespace vm
