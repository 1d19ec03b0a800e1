#include "requests/send_fact.h"

#include <algorithm>

#include "compressor/decompose_written.h"
#include "fusion/packet_encoder.h"
#include "fusion/state_check.h"
#include "registry/registry_file.h"
#include "support/fault.h"
#include "wire/command.h"
#include "wire/packet_header.h"

namespace vm {

namespace {

SendResult finish_prepare(std::string_view text, PreparedFact& prepared) {
  const std::optional<PacketTimestamp> ts = read_packet_timestamp(prepared.decomposed.ts);
  if (!ts) return SendResult::no_packet;
  prepared.ts = *ts;
  prepared.whole = must_travel_whole(prepared.decomposed.sig, text);
  return SendResult::packet;
}

}  // namespace

SendResult prepare_fact(std::string_view text, PreparedFact& prepared) {
  if (!decompose(text, prepared.decomposed)) return SendResult::undecomposable;
  return finish_prepare(text, prepared);
}

SendResult prepare_written_fact(std::string_view text, const FactLayout& layout, PreparedFact& prepared) {
  if (!decompose_written(text, layout, prepared.decomposed)) return SendResult::undecomposable;
  return finish_prepare(text, prepared);
}

SendResult send_prepared(TemplateRegistry& registry, DeviceId aid, SendOptions options, std::string_view text,
                         const PreparedFact& prepared, std::optional<std::string_view> registry_root,
                         DeferredSaves* deferred, std::string& out) {
  load_device_file(registry, aid, registry_root);
  thread_local std::string diff_body;
  const DecomposedFact& fact = prepared.decomposed;
  DeviceTemplates& device = device_for(registry, aid);
  std::optional<KeyFrameCount>* key_frames = options.key_frames.enabled() ? &registry.key_frames[aid] : nullptr;
  const bool key_frame = key_frames != nullptr && key_frame_due(options.key_frames, *key_frames, options.now);
  const auto decision = encode_into(device, options.force_full || prepared.whole || key_frame, fact.sig, fact.vals,
                                    diff_body, EncodeFor::packet);
  if (!decision) return SendResult::no_packet;
  if (key_frames != nullptr) count_packet(options.key_frames, *key_frames, decision->command == DATA_FULL, options.now);
  if (decision->flags & (DECISION_NEW_TEMPLATE | DECISION_STATE_CHANGED)) {
    if (deferred == nullptr) {
      save_device_file(registry, aid, registry_root);
    } else if (deferred->devices.empty() || deferred->devices.back() != aid) {
      deferred->devices.push_back(aid);
    }
  }
  const bool whole = (decision->flags & DECISION_FULL_BODY) != 0;
  const std::string_view body = whole ? text : std::string_view(diff_body);
  // After a heartbeat or difference the template holds this fact's signature and values;
  // the check reads the stored copies, which it reads fastest.
  std::optional<std::uint8_t> check;
  if (options.state_check && !whole) {
    const std::uint32_t sig_crc = cached_signature_crc(device, decision->tid, fact.sig);
    const std::vector<std::string>& stored = device.last_vals.find(decision->tid)->second;
    check = fold_state_check(template_state_digest(sig_crc, std::span<const std::string>(stored)),
                             timestamp_number(prepared.ts));
  }
  // Packet numbers never exceed one byte and the timestamp was read already: framing
  // cannot fail, so the template change above always travels.
  const bool framed = frame_packet(decision->command, aid, decision->tid, prepared.ts, body, out, check);
  VM_CHECK(framed);
  return SendResult::packet;
}

SendResult send_fact_text(TemplateRegistry& registry, DeviceId aid, SendOptions options, std::string_view text,
                          std::optional<std::string_view> registry_root, DeferredSaves* deferred,
                          std::string& out) {
  thread_local PreparedFact prepared;
  const SendResult ready = prepare_fact(text, prepared);
  if (ready != SendResult::packet) return ready;
  return send_prepared(registry, aid, options, text, prepared, registry_root, deferred, out);
}

void note_not_handed_out(TemplateRegistry& registry, std::string_view packet) {
  const std::optional<HeaderInfo> header = parse_header(as_bytes(packet));
  VM_CHECK(header.has_value());  // the packet was framed here
  DeviceTemplates* device = find_device(registry, DeviceId{header->source_aid});
  if (device != nullptr) mark_whole_due(*device, TemplateId{header->tid});
}

void save_deferred(const TemplateRegistry& registry, DeferredSaves& deferred,
                   std::optional<std::string_view> registry_root) {
  std::vector<DeviceId>& devices = deferred.devices;
  std::sort(devices.begin(), devices.end());
  devices.erase(std::unique(devices.begin(), devices.end()), devices.end());
  for (DeviceId aid : devices) save_device_file(registry, aid, registry_root);
  devices.clear();
}

}  // namespace vm
