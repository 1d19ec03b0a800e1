// Per-device templates: a signature (the compact fact with timestamp and values taken
// out), the number that names it, and the last values sent or received under it.
// No lock of its own: a registry is reached only under the lock of the FusionState
// (fusion-state handle or cached context) that owns it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fusion/applied_packets.h"
#include "fusion/key_frames.h"
#include "support/bytes.h"
#include "support/file_identity.h"
#include "support/ids.h"

namespace vm {

// New devices number their templates from here.
inline constexpr std::uint32_t kFirstTemplateId = 24;

// A packet carries its template number in one byte.
inline constexpr std::uint32_t kMaxPacketTemplateId = 255;

// How the request pipelines, which build packets, have used a template: when the encoder
// last chose it (the least recently used template gives its number to a new signature once
// the numbers a packet can carry run out), and whether its next packet must travel whole
// because no receiver can be trusted to hold what the sender holds: it came from a
// registry file (which may be ahead of what any receiver got when the process that wrote
// it died), or its last packet was never handed out (an answer that did not fit).
struct TemplateUse {
  std::uint64_t last_used = 0;  // 0: not used by this process
  bool whole_due = false;
};

// The use of a device's templates, kept as a list sorted by number: most devices hold a
// few templates, and a fleet of many devices would pay a hash map's buckets and nodes for
// each of them.
class TemplateUses {
 public:
  // The entry of `tid`, added unused when absent. Stays valid until the next call that
  // adds or removes an entry.
  TemplateUse& at(TemplateId tid);
  [[nodiscard]] const TemplateUse* find(TemplateId tid) const noexcept;
  void erase(TemplateId tid) noexcept;

 private:
  std::vector<std::pair<TemplateId, TemplateUse>> entries_;
};

struct DeviceTemplates {
  BytesMap<TemplateId> sig_to_tid;
  std::unordered_map<TemplateId, std::string> tid_to_sig;
  std::unordered_map<TemplateId, std::vector<std::string>> last_vals;
  std::uint32_t next_tid = kFirstTemplateId;

  // Kept only by the request pipelines (packet numbering); absent entries mean unused.
  TemplateUses use;
  std::uint64_t use_clock = 0;

  // The signature that assign_tid met last and its template: a device reports the same
  // template fact after fact, and comparing one signature costs less than hashing it.
  // bind_signature forgets it whenever a signature's template changes.
  bool memo_valid = false;
  std::string memo_sig;
  TemplateId memo_tid{};

  // Templates whose values a state-checked packet showed to differ from the sender's: a
  // receiver that checks refuses them until a full packet teaches them again. Few, if any.
  std::vector<TemplateId> diverged;

  // The signature part of each template's state check (signature_crc), kept once worked
  // out: a device sends few templates, and the signature is most of what the check reads.
  // bind_signature and forget_template drop a template's entry.
  std::vector<std::pair<TemplateId, std::uint32_t>> sig_crcs;

  // The packets lately applied to the device by receivers that ask to apply each once;
  // kept in its registry file.
  AppliedPackets applied;

  // Changed since its registry file was last written, by a receiver that defers its saves:
  // listed in TemplateRegistry::unsaved.
  bool unsaved = false;
};

struct TemplateRegistry {
  std::unordered_map<DeviceId, DeviceTemplates> devices;
  // Registry files that yielded no templates, by device: read again only once they change.
  KeyedMap<DeviceId, FileIdentity> unusable_files;
  // The devices marked unsaved, each once (a device may have been saved since: its flag
  // tells), so that a save of the changes visits only them.
  std::vector<DeviceId> unsaved;
  // The key-frame count of each device sent to under a key-frame rule (key_frames.h); kept
  // apart from the devices so that a context without key frames pays nothing per device.
  std::unordered_map<DeviceId, std::optional<KeyFrameCount>> key_frames;
};

// Marks the device as changed since its file was written.
void mark_unsaved(TemplateRegistry& registry, DeviceId aid, DeviceTemplates& device);

// The device's templates, created empty (next_tid 24) when absent.
DeviceTemplates& device_for(TemplateRegistry& registry, DeviceId aid);

// The device's templates, or null; never creates one.
[[nodiscard]] DeviceTemplates* find_device(TemplateRegistry& registry, DeviceId aid) noexcept;
[[nodiscard]] const DeviceTemplates* find_device(const TemplateRegistry& registry, DeviceId aid) noexcept;

struct AssignedTemplate {
  TemplateId tid;
  bool is_new;
};

// The template of `sig`, registering it under next_tid when it is new. next_tid
// saturates at 0xFFFFFFFF instead of wrapping; a signature that held the saturated number
// before loses it and is forgotten (it counts as new when it comes back).
AssignedTemplate assign_tid(DeviceTemplates& device, std::string_view sig);

// The template of `sig` for a packet: as assign_tid, but never numbered above 255. A new
// signature that would be, or a known one that holds a number above 255 (from an older
// file), takes the smallest number from 24 to 255 that no template holds, else the number
// of the device's least recently used template at most 255 (never used in this process
// counts as oldest; ties go to the smaller number). That template is forgotten whole:
// signature, values and use. So a device holds at most 256 templates that packets reach,
// and a full packet teaches a receiver the new signature under the number.
AssignedTemplate assign_packet_tid(DeviceTemplates& device, std::string_view sig);

// Forgets template `tid` of the device: its signature (where it still names `tid`), its
// values, its use and any divergence.
void forget_template(DeviceTemplates& device, TemplateId tid);

// signature_crc of template `tid`, whose signature is `sig`, from the device's cache.
[[nodiscard]] std::uint32_t cached_signature_crc(DeviceTemplates& device, TemplateId tid, std::string_view sig);

// Whether a checked packet found template `tid` diverged (and no full packet came since).
[[nodiscard]] bool is_diverged(const DeviceTemplates& device, TemplateId tid) noexcept;
void mark_diverged(DeviceTemplates& device, TemplateId tid);

// Marks every template of `device` as loaded from a file and not sent since: each one's
// next packet travels whole.
void mark_loaded(DeviceTemplates& device);

// Marks template `tid` of `device`, if it still has one, as due a whole packet: its last
// packet was not handed out.
void mark_whole_due(DeviceTemplates& device, TemplateId tid);

// Registers (or replaces) template `tid` with its signature and values, as a full packet
// or a seed entry carries them, and clears its divergence. A signature that `tid` named before is forgotten, so no
// signature keeps pointing at a template that now belongs to another. Does not touch
// next_tid.
void learn_template(DeviceTemplates& device, TemplateId tid, std::string_view sig,
                    std::vector<std::string> values);

// The same with the values given as views; they are copied into the strings the template
// already holds, so relearning a known template allocates nothing.
void learn_template_from_views(DeviceTemplates& device, TemplateId tid, std::string_view sig,
                               std::span<const std::string_view> values);

// next_tid = max(next_tid, tid + 1), with tid + 1 saturating at 0xFFFFFFFF.
void raise_next_tid(DeviceTemplates& device, TemplateId tid) noexcept;

struct SeedEntry {
  TemplateId tid;
  std::string sig;
  std::vector<std::string> values;
};

// A fresh device built from `entries` in order (later entries replace earlier ones with
// the same tid or sig); next_tid = largest tid + 1 (saturating), or 1 for no entries.
[[nodiscard]] DeviceTemplates seeded_device(std::vector<SeedEntry> entries);

// Replaces the device's templates whole with seeded_device(entries).
void seed_device(TemplateRegistry& registry, DeviceId aid, std::vector<SeedEntry> entries);

}  // namespace vm
