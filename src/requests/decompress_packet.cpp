#include "requests/decompress_packet.h"

#include <mutex>
#include <string>

#include "compressor/decompose.h"
#include "fusion/applied_packets.h"
#include "contexts/context_cache.h"
#include "fusion/packet_decoder.h"
#include "requests/compact_fact_json.h"
#include "requests/direct_fact.h"
#include "registry/registry_file.h"
#include "support/scratch.h"
#include "wire/base64.h"
#include "wire/command.h"
#include "wire/utf8.h"

namespace vm {
namespace {

// Whether `options.once` refuses the packet of digest `digest`.
bool applied_before(const TemplateRegistry& registry, DeviceId aid, const ReceiveOptions& options,
                    std::uint64_t digest) {
  if (!options.once) return false;
  const DeviceTemplates* device = find_device(registry, aid);
  return device != nullptr && device->applied.contains(digest);
}

// After a packet changed the device (its templates, or the packets it remembers): its file
// is written now, or marked to be written by a deferred save.
void store_change(TemplateRegistry& registry, DeviceId aid, DeviceTemplates& device,
                  std::optional<std::string_view> root, const ReceiveOptions& options) {
  if (!registry_files_enabled(root)) return;
  if (options.defer_save) {
    mark_unsaved(registry, aid, device);
  } else if (save_device_file(registry, aid, root)) {
    device.unsaved = false;  // an earlier deferred change is written too
  }
}

// Learns the template of a full packet; the text is answered whether or not it decomposes.
// False when `options.once` refuses the packet (nothing changed).
bool learn_from_full(FusionState& state, const HeaderInfo& h, std::string_view text,
                     std::optional<std::string_view> root, const ReceiveOptions& options, std::uint64_t digest) {
  thread_local DecomposedFact fact;
  const ScratchRelease release(fact.sig, fact.vals);
  const bool decomposed = decompose(text, fact);
  if (!decomposed && !options.once) return true;
  const DeviceId aid{h.source_aid};
  std::lock_guard lock(state.lock);
  load_device_file(state.registry, aid, root);
  if (applied_before(state.registry, aid, options, digest)) return false;
  // A text without a template changes nothing; it is remembered only by a device that
  // exists already, which keeps it from being answered twice.
  if (!decomposed && find_device(state.registry, aid) == nullptr) return true;
  DeviceTemplates& device = device_for(state.registry, aid);
  if (decomposed) {
    const TemplateId tid{h.tid};
    learn_template_from_views(device, tid, fact.sig, fact.vals);
    raise_next_tid(device, tid);
  }
  if (options.once) device.applied.add(digest);
  store_change(state.registry, aid, device, root, options);
  return true;
}

bool holds_values(const TemplateRegistry& registry, DeviceId aid, TemplateId tid) {
  const DeviceTemplates* device = find_device(registry, aid);
  return device != nullptr && device->last_vals.contains(tid);
}

}  // namespace

void decompress_packet(std::uint64_t ctx_id, std::string_view packet, std::optional<std::string_view> root,
                       ReceiveOptions options, PacketAnswerSink& sink) {
  const FusionStatePtr state = context_state_for(ctx_id);
  decompress_packet(*state, packet, root, options, sink);
}

void decompress_packet(FusionState& state, std::string_view packet, std::optional<std::string_view> root,
                       ReceiveOptions options, PacketAnswerSink& sink) {
  const ByteSpan p = as_bytes(packet);
  if (p.size() < 5) {
    sink.refused(PacketRefusal::too_short, nullptr);
    return;
  }
  const auto header = parse_header(p);
  if (!header) {
    sink.refused(PacketRefusal::incomplete_header, nullptr);
    return;
  }
  if (!header->crc16_ok) {
    sink.crc_mismatch(*header);
    return;
  }

  // The body without its last byte (the writer's CRC-8, which is not checked here).
  const std::size_t body_at = body_offset(header->route_count);
  const std::string_view body = packet.substr(body_at, p.size() - body_at - 3);
  char ts_text[8];
  write_base64(ts_text, packet.substr(header->tid_offset + 1, 6), Base64::url);

  // The digest is taken before any lock: it reads only the packet.
  const std::uint64_t digest = options.once ? packet_digest(packet) : 0;
  // A host's code run by the sink (a Python finaliser, say) may receive again on this
  // thread while the text is still being answered: that call rebuilds into its own string.
  thread_local std::string rebuilt_scratch;
  thread_local bool answering_text = false;
  std::string nested_rebuilt;
  std::string& rebuilt = answering_text ? nested_rebuilt : rebuilt_scratch;
  const ScratchRelease release_rebuilt(rebuilt);
  std::string_view text;
  switch (header->base_cmd) {
    case DATA_FULL:
      text = is_valid_utf8(body) ? body : std::string_view();
      if (!learn_from_full(state, *header, text, root, options, digest)) {
        sink.refused(PacketRefusal::already_applied, &*header);
        return;
      }
      break;
    case DATA_HEART:
    case DATA_DIFF: {
      rebuilt.clear();
      const DeviceId aid{header->source_aid};
      const TemplateId tid{header->tid};
      std::unique_lock lock(state.lock);
      load_device_file(state.registry, aid, root);
      // Before the state check too: a difference met again fails it, and would mark its
      // template diverged.
      if (applied_before(state.registry, aid, options, digest)) {
        lock.unlock();
        sink.refused(PacketRefusal::already_applied, &*header);
        return;
      }
      std::optional<ReceivedTemplate> received;
      if (options.state_check) {
        const ExpectedState expected{static_cast<std::uint8_t>(packet[p.size() - 3]), header->timestamp_raw};
        const CheckedReceive checked = receive_checked_update(state.registry, aid, header->base_cmd, tid, body, expected);
        if (checked.status == ReceiveStatus::state_mismatch) {
          lock.unlock();
          sink.refused(PacketRefusal::state_mismatch, &*header);
          return;
        }
        if (checked.status == ReceiveStatus::applied) received = checked.received;
      } else {
        received = receive_update(state.registry, aid, header->base_cmd, tid, body);
      }
      if (!received) {
        const bool known = holds_values(state.registry, aid, tid);
        lock.unlock();
        sink.refused(known ? PacketRefusal::not_applicable : PacketRefusal::unknown_template, &*header);
        return;
      }
      const std::string_view ts(ts_text, 8);
      thread_local CompactFactMembers members;
      const ScratchRelease release_members(members.readings, members.url_text, members.msg_text, members.scratch);
      const std::uint64_t layout_key = (std::uint64_t{raw(aid)} << 32) | raw(tid);
      // A host's code run by the sink (a Python finaliser, say) may receive again on this
      // thread while the members are still being answered: that call leaves them alone.
      thread_local bool answering_members = false;
      const bool direct = sink.takes_members() && !answering_members &&
                          direct_fact_members(layout_key, received->sig, ts, received->values, members);
      if (!direct) (void)rebuild_fact(received->sig, ts, received->values, rebuilt);
      if (header->base_cmd == DATA_DIFF || options.once) {
        DeviceTemplates& device = *find_device(state.registry, aid);
        if (options.once) device.applied.add(digest);
        store_change(state.registry, aid, device, root, options);
      }
      if (direct) {
        lock.unlock();
        answering_members = true;
        sink.fact_members(members, *header);
        answering_members = false;
        return;
      }
      text = is_valid_utf8(rebuilt) ? std::string_view(rebuilt) : std::string_view();
      break;
    }
    default:
      sink.refused(PacketRefusal::unknown_command, &*header);
      return;
  }

  if (const std::size_t semicolon = text.find(';'); semicolon != std::string_view::npos)
    text.remove_prefix(semicolon + 1);
  const bool outermost = !answering_text;
  answering_text = true;
  sink.fact(text, *header);
  if (outermost) answering_text = false;
}

}  // namespace vm
