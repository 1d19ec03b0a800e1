#include "registry/decompress_request.h"

#include <cstdint>
#include <mutex>
#include <optional>

#include "compressor/decompose.h"
#include "fusion/packet_decoder.h"
#include "json/object_builder.h"
#include "json/record.h"
#include "registry/compact_fact_json.h"
#include "registry/context_cache.h"
#include "registry/decompress_answer.h"
#include "registry/registry_file.h"
#include "support/scratch.h"
#include "wire/base64.h"
#include "wire/command.h"
#include "wire/crc.h"
#include "wire/packet_header.h"
#include "wire/utf8.h"

namespace vm {
namespace {

constexpr std::string_view kInvalidJson = R"({"error":"invalid_json"})";
constexpr std::string_view kInvalidPacketB64 = R"({"error":"invalid_packet_b64"})";
constexpr std::string_view kPacketTooShort = R"({"error":"Packet too short"})";
constexpr std::string_view kIncompleteHeader = R"({"error":"Incomplete Binary Header"})";
constexpr std::string_view kUnknownCommand = R"({"error":"unknown_command"})";
constexpr std::string_view kReceiveApplyFailed = R"({"error":"fusion_receive_apply_failed"})";

struct FusionDecompressReq {
  std::uint64_t ctx_id = 0;
  std::string_view packet_b64;
  std::optional<std::string_view> registry_root;
};

constexpr json::Record kFusionDecompressReq(
    json::field("ctx_id", &FusionDecompressReq::ctx_id),
    json::required("packet_b64", &FusionDecompressReq::packet_b64),
    json::field("registry_root", &FusionDecompressReq::registry_root));

void add_packet_meta(const HeaderInfo& h, json::ObjectBuilder& answer) {
  thread_local json::ObjectBuilder meta;
  meta.clear();
  meta.add_uint("base_cmd", h.base_cmd);
  meta.add_uint("cmd", h.cmd);
  meta.add_bool("crc16_ok", h.crc16_ok);
  meta.add_bool("secure", h.secure);
  meta.add_uint("source_aid", h.source_aid);
  meta.add_uint("tid", h.tid);
  meta.add_uint("timestamp_raw", h.timestamp_raw);
  answer.add_object("__packet_meta__", meta);
}

// Learns the template of a full packet; the text is answered whether or not it decomposes.
void learn_from_full(const FusionStatePtr& state, const HeaderInfo& h, std::string_view text,
                     std::optional<std::string_view> root) {
  thread_local DecomposedFact fact;
  const ScratchRelease release(fact.sig, fact.vals);
  if (!decompose(text, fact)) return;
  const DeviceId aid{h.source_aid};
  std::lock_guard lock(state->lock);
  load_device_file(state->registry, aid, root);
  DeviceTemplates& device = device_for(state->registry, aid);
  const TemplateId tid{h.tid};
  learn_template_from_views(device, tid, fact.sig, fact.vals);
  raise_next_tid(device, tid);
  save_device_file(state->registry, aid, root);
}

}  // namespace

void decompress_request(std::string_view request, std::string& out) {
  json::Reader reader;
  const auto req = json::read_record(reader, request, kFusionDecompressReq);
  if (!req) {
    out.append(kInvalidJson);
    return;
  }
  thread_local std::string packet;
  const ScratchRelease release_packet(packet);
  packet.clear();
  if (!decode_base64(req->packet_b64, Base64::standard, packet)) {
    out.append(kInvalidPacketB64);
    return;
  }
  const ByteSpan p = as_bytes(packet);
  if (p.size() < 5) {
    out.append(kPacketTooShort);
    return;
  }
  const auto header = parse_header(p);
  if (!header) {
    out.append(kIncompleteHeader);
    return;
  }

  thread_local json::ObjectBuilder answer;
  answer.clear();
  if (!header->crc16_ok) {
    add_packet_meta(*header, answer);
    answer.add_string("error", "CRC16 mismatch");
    answer.write(out);
    return;
  }

  // The body without its last byte (the writer's CRC-8, which is not checked here).
  const std::size_t body_at = body_offset(header->route_count);
  const std::string_view body = std::string_view(packet).substr(body_at, p.size() - body_at - 3);
  thread_local std::string ts_text;
  ts_text.clear();
  append_base64(ts_text, std::string_view(packet).substr(header->tid_offset + 1, 6), Base64::url);

  const FusionStatePtr state = context_state_for(req->ctx_id);
  thread_local std::string rebuilt;
  const ScratchRelease release_rebuilt(rebuilt);
  std::string_view text;
  switch (header->base_cmd) {
    case DATA_FULL:
      text = is_valid_utf8(body) ? body : std::string_view();
      learn_from_full(state, *header, text, req->registry_root);
      break;
    case DATA_HEART:
    case DATA_DIFF: {
      rebuilt.clear();
      const DeviceId aid{header->source_aid};
      std::lock_guard lock(state->lock);
      load_device_file(state->registry, aid, req->registry_root);
      if (!receive_apply(state->registry, aid, header->base_cmd, TemplateId{header->tid},
                         ts_text, body, rebuilt)) {
        out.append(kReceiveApplyFailed);
        return;
      }
      if (header->base_cmd == DATA_DIFF) save_device_file(state->registry, aid, req->registry_root);
      text = is_valid_utf8(rebuilt) ? std::string_view(rebuilt) : std::string_view();
      break;
    }
    default:
      out.append(kUnknownCommand);
      return;
  }

  if (const std::size_t semicolon = text.find(';'); semicolon != std::string_view::npos)
    text.remove_prefix(semicolon + 1);
  thread_local CompactFactMembers fact;
  const ScratchRelease release_fact(fact.readings, fact.url_text, fact.msg_text, fact.scratch);
  if (!read_compact_fact(text, fact)) {
    out.append(kInvalidJson);  // too many readings to answer within memory
    return;
  }
  append_decompress_answer(fact, *header, out);
}

}  // namespace vm
